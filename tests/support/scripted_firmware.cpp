#include "tests/support/scripted_firmware.h"

#include <utility>

ScriptedFirmware::ScriptedFirmware(std::vector<Reply> script) : script_(std::move(script)) {}

void ScriptedFirmware::WriteMailbox(const MailboxBuffer& buffer)
{
    operations += 'W';
    wag1_ = buffer;
}

void ScriptedFirmware::InvokeMailbox()
{
    operations += 'I';
    requests.push_back(wag1_);
    if (script_.empty()) {
        return;
    }
    const Reply& reply = script_[next_ < script_.size() ? next_ : script_.size() - 1];
    ++next_;
    // Answer in place, as the firmware does: the request bytes stay, with
    // the reply's bytes written over them.
    wag1_[OFFSET_STATUS_BYTE] = reply.status;
    wag1_[9] = reply.byte9;
    wag1_[10] = reply.byte10;
}

void ScriptedFirmware::ReadMailbox(MailboxBuffer& buffer)
{
    operations += 'R';
    if (script_.empty()) {
        // No firmware behind the mailbox: a read obtains nothing.
        buffer.fill(0);
        return;
    }
    buffer = wag1_;
}

Reply Done(std::uint8_t value)
{
    return Reply{STATUS_DONE, value, value};
}

Reply Busy()
{
    return Reply{0x00, 0, 0};
}

Args::Args(std::vector<std::wstring> words) : words_(std::move(words))
{
    words_.insert(words_.begin(), L"Vorlix.exe");
    for (const std::wstring& word : words_) {
        pointers_.push_back(word.c_str());
    }
    pointers_.push_back(nullptr);
}

CommandArgs Args::get() const
{
    return CommandArgs{static_cast<int>(words_.size()), pointers_.data()};
}
