#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/protocol.h"

// One scripted answer of the firmware: the three reply bytes the program reads.
struct Reply {
    std::uint8_t status;
    std::uint8_t byte9;
    std::uint8_t byte10;
};

// A firmware double: answers each invoke with the next scripted reply (the
// last one repeats once the script runs out) and records every request it
// was handed and the order of the operations. With an empty script it acts
// like a machine without the firmware: every read obtains zero bytes.
class ScriptedFirmware : public FirmwareMailbox {
public:
    explicit ScriptedFirmware(std::vector<Reply> script);

    void WriteMailbox(const MailboxBuffer& buffer) override;
    void InvokeMailbox() override;
    void ReadMailbox(MailboxBuffer& buffer) override;

    std::vector<MailboxBuffer> requests;  // WAG1 as each invoke found it
    std::string operations;               // 'W', 'I', 'R' in call order

private:
    std::vector<Reply> script_;
    std::size_t next_ = 0;
    MailboxBuffer wag1_{};
};

// Replies for common cases.
Reply Done(std::uint8_t value);  // a completed read or set reporting value
Reply Busy();                   // a reply without STATUS_DONE

// Shorthand for building argument lists in tests.
struct Args {
    explicit Args(std::vector<std::wstring> words);
    CommandArgs get() const;

private:
    std::vector<std::wstring> words_;
    std::vector<const wchar_t*> pointers_;
};
