// Everything a mail server says, as a peer on loopback sends it: greeting,
// EHLO capabilities, the login exchange and the replies to one message.
// Byte 0 chooses whether the client logs in. So that short inputs reach the
// bounds on reply lines (bytes per line, lines per reply), FE k L followed by
// L bytes stands for those L bytes sent (k + 1)^2 times.

#include <cstdint>
#include <string>
#include <string_view>

#include "loopback_peer.h"
#include "mail/mail_message.h"
#include "mail/smtp_client.h"

namespace {

std::string expand(std::string_view in) {
    constexpr size_t kMaxServed = 1u << 20;
    std::string out;
    size_t i = 0;
    while (i < in.size() && out.size() < kMaxServed) {
        if (static_cast<uint8_t>(in[i]) == 0xFE && i + 2 < in.size()) {
            const size_t times = (static_cast<size_t>(static_cast<uint8_t>(in[i + 1])) + 1) *
                                 (static_cast<size_t>(static_cast<uint8_t>(in[i + 1])) + 1);
            const std::string_view part = in.substr(i + 3, static_cast<uint8_t>(in[i + 2]));
            for (size_t t = 0; t < times && out.size() < kMaxServed; ++t) out.append(part);
            i += 3 + part.size();
        } else {
            out.push_back(in[i++]);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static LoopbackPeer peer;
    if (size == 0) return 0;
    peer.serve(expand(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1)));

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
