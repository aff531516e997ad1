#pragma once

#include <wbemidl.h>

#include "protocol/protocol.h"

// The firmware mailbox carried over WMI: WAG1 of MyWMIARGClass1 holds the
// request and the reply, MyFn1 of MyWMIMethodClass makes the firmware act on
// it. Every operation is silent; a step that goes wrong ends the operation and
// leaves the remaining instances alone, and the protocol notices only through
// a reply without STATUS_DONE.
class WmiMailbox : public FirmwareMailbox {
public:
    // The services stay owned by the caller and must outlive the mailbox.
    explicit WmiMailbox(IWbemServices* services) : services_(services) {}

    void WriteMailbox(const MailboxBuffer& buffer) override;
    void InvokeMailbox() override;
    void ReadMailbox(MailboxBuffer& buffer) override;

private:
    IWbemServices* services_;
};
