// Everything a mail server says, as a peer on loopback sends it: greeting,
// EHLO capabilities, the login exchange and the replies to one message.
// Byte 0 chooses whether the client logs in.

#include <cstdint>
#include <string>

#include "loopback_peer.h"
#include "mail/mail_message.h"
#include "mail/smtp_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static LoopbackPeer peer;
    if (size == 0) return 0;
    peer.serve(std::string(reinterpret_cast<const char*>(data + 1), size - 1));

    ipcam::SmtpClient client;
    client.host = "127.0.0.1";
    client.port = peer.port();
    client.localHostName = "fuzz";
    client.connectTimeoutMs = 2000;
    client.replyTimeoutMs = 2000;
    if (data[0] & 1u) {
        client.loginMethod = ipcam::SmtpLoginMethod::Login;
        client.userName = "user";
        client.password = "secret";
    }
    if (client.connect()) {
        ipcam::MailMessage message;
        message.from = {"Camera", "camera@127.0.0.1"};
        message.to = {{"", "owner@127.0.0.1"}};
        message.subject = "Alarm";
        message.body = {"Motion.", ".dot"};
        client.send(message);
        client.disconnect();
    }
    peer.finish();
    return 0;
}
