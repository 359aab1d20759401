// Writes the small seed corpora of the fuzz targets into <folder>/<target>/.
// Run by hand when a target's input format changes; the output is committed.

#include <QSize>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/camera_settings.h"
#include "camera/icmp_packet.h"
#include "camera/stream_protocol.h"
#include "ipcam_sim/scene.h"
#include "recording/avi_format.h"
#include "settings/settings_store.h"

namespace {

using Bytes = std::vector<uint8_t>;
std::filesystem::path root;

void put(const std::string& target, const std::string& name, const Bytes& bytes) {
    const auto dir = root / target;
    std::filesystem::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                      static_cast<std::streamsize>(bytes.size()));
}
void put(const std::string& target, const std::string& name, std::string_view text) {
    put(target, name, Bytes(text.begin(), text.end()));
}
void append(Bytes& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }
void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

// A finished recording of `pictures` as the recorder's writer lays it out.
Bytes aviFile(uint8_t resolution, const std::vector<Bytes>& pictures, uint32_t seconds) {
    namespace avi = ipcam::avi;
    const auto header = avi::headerTemplate(resolution);
    Bytes out(header.begin(), header.end());
    std::vector<avi::IndexEntry> index;
    for (const Bytes& p : pictures) {
        index.push_back({static_cast<uint32_t>(out.size() - avi::kMoviBase), avi::paddedLength(p.size())});
        avi::appendChunk(out, p.data(), p.size());
    }
    const uint64_t indexOffset = out.size();
    append(out, avi::buildIndex(index));
    avi::patchHeader(out.data(), avi::finishValues(indexOffset, index.size(), seconds,
                                                   static_cast<uint32_t>(pictures.size())));
    return out;
}

Bytes jpeg(int w, int h, uint64_t frame, int quality) {
    const QSize size(w, h);
    const QByteArray j =
        ipcam::sim::encodeJpeg(ipcam::sim::renderScene(size, ipcam::sim::SceneKind::Moving, frame, {12, 0, 0}), size,
                               quality);
    return Bytes(j.begin(), j.end());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    root = argv[1];
    const Bytes small1 = jpeg(16, 16, 1, 40);
    const Bytes small2 = jpeg(24, 16, 2, 40);
    constexpr std::string_view kBoundary = "\r\nEOB\r\n";

    // jpeg: whole pictures, a cut one, and one with the camera's boundary after it.
    put("jpeg", "small", small1);
    put("jpeg", "wide", small2);
    put("jpeg", "cut", Bytes(small1.begin(), small1.begin() + static_cast<long>(small1.size() / 2)));
    Bytes withBoundary = small2;
    append(withBoundary, kBoundary);
    put("jpeg", "boundary", withBoundary);
    // A frame header claiming 16000 x 16000 pixels: refused before anything is allocated for it.
    {
        Bytes huge = small1;
        for (size_t i = 0; i + 8 < huge.size(); ++i) {
            if (huge[i] == 0xFF && huge[i + 1] == 0xC0) {
                huge[i + 5] = huge[i + 7] = static_cast<uint8_t>(16000 >> 8);
                huge[i + 6] = huge[i + 8] = static_cast<uint8_t>(16000 & 0xFF);
                break;
            }
        }
        put("jpeg", "huge_frame_header", huge);
    }

    // stream: byte 0 = number of chunk lengths, then the lengths, then the bytes.
    {
        Bytes s{1, 111};  // every chunk 112 bytes: the header, then pictures padded to whole chunks
        append(s, ipcam::kExpectedReplyHeader);
        for (const Bytes* pic : {&small1, &small2, &small1}) {
            Bytes p = *pic;
            append(p, kBoundary);
            p.resize((p.size() + 111) / 112 * 112, 0);
            append(s, p);
        }
        put("stream", "aligned", s);
        Bytes odd{3, 111, 6, 200};  // pictures split across chunks
        append(odd, ipcam::kExpectedReplyHeader);
        append(odd, small1);
        append(odd, kBoundary);
        append(odd, small2);
        put("stream", "split", odd);
        Bytes tiny{3, 111, 2, 4};  // boundary lines cut in every place, one at the very end
        append(tiny, ipcam::kExpectedReplyHeader);
        append(tiny, small1);
        append(tiny, kBoundary);
        append(tiny, small2);
        append(tiny, kBoundary);
        put("stream", "boundary_split", tiny);
        Bytes atEnd{2, 111, 13};  // a boundary line that ends a read: the next read starts a picture
        append(atEnd, ipcam::kExpectedReplyHeader);
        append(atEnd, "\xFF\xD8\xFF\xE0" "abc");
        append(atEnd, kBoundary);
        append(atEnd, "not a picture start");
        put("stream", "boundary_at_read_end", atEnd);
        Bytes joined{2, 111, 255};  // two pictures with no boundary between: past the target's bound
        append(joined, ipcam::kExpectedReplyHeader);
        append(joined, small1);
        append(joined, small2);
        append(joined, kBoundary);
        append(joined, small1);
        put("stream", "overflow", joined);
        Bytes wrong{0};
        append(wrong, "HTTP/1.0 401 Unauthorized\r\n\r\n");
        put("stream", "refused", wrong);
    }

    // mjpeg_http: byte 0 = number of read lengths, then the lengths, then a
    // standard camera's answer.
    {
        const std::string type = "Content-Type: multipart/x-mixed-replace; boundary=frame\r\n";
        const auto part = [](const Bytes& picture, bool withLength) {
            Bytes p;
            append(p, "--frame\r\nContent-Type: image/jpeg\r\n");
            if (withLength) append(p, "Content-Length: " + std::to_string(picture.size()) + "\r\n");
            append(p, "\r\n");
            append(p, picture);
            append(p, "\r\n");
            return p;
        };
        Bytes standard{2, 6, 90};
        append(standard, "HTTP/1.1 200 OK\r\n" + type + "\r\n");
        append(standard, part(small1, true));
        append(standard, part(small2, false));
        append(standard, "--frame\r\n");
        put("mjpeg_http", "standard", standard);

        Bytes body = part(small1, false);  // sent chunked, under HTTP/1.0
        append(body, part(small2, true));
        append(body, "--frame--\r\n");
        Bytes chunkedAnswer{1, 200};
        append(chunkedAnswer, "HTTP/1.0 200 OK\r\n" + type + "Transfer-Encoding: chunked\r\n\r\n");
        for (size_t at = 0; at < body.size(); at += 300) {
            const size_t len = std::min<size_t>(300, body.size() - at);
            char line[32];
            std::snprintf(line, sizeof line, "%zx;ext=1\r\n", len);
            append(chunkedAnswer, line);
            append(chunkedAnswer, Bytes(body.begin() + static_cast<long>(at), body.begin() + static_cast<long>(at + len)));
            append(chunkedAnswer, "\r\n");
        }
        append(chunkedAnswer, "0\r\nX-Trailer: 1\r\n\r\n");
        put("mjpeg_http", "chunked_1_0", chunkedAnswer);

        // Bare line feeds, no first delimiter, the boundary declared with its
        // dashes and used right after a picture, an empty part, a text part.
        Bytes loose{3, 1, 2, 40};
        append(loose, "HTTP/1.0 200 OK\ncontent-type: multipart/mixed;boundary=\"--frame\"\n\n");
        append(loose, small1);
        append(loose, "--frame\n--frame\nContent-Type: text/plain\n\nhello\n--frame\n\n");
        append(loose, small2);
        append(loose, "\n--frame\n");
        put("mjpeg_http", "loose", loose);

        // No boundary declared (ffmpeg's and VLC's servers): learnt from the
        // body, here after a first picture with no delimiter before it.
        Bytes octets{2, 9, 60};
        append(octets, "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n");
        append(octets, "Content-type: image/jpeg\r\n\r\n");
        append(octets, small1);
        append(octets, "\r\n");
        append(octets, part(small2, true));
        append(octets, "--frame\r\n");
        put("mjpeg_http", "octet_stream", octets);

        // One picture, not a stream (a snapshot camera).
        Bytes snapshot{0};
        append(snapshot, "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                             std::to_string(small1.size()) + "\r\n\r\n");
        append(snapshot, small1);
        put("mjpeg_http", "snapshot", snapshot);

        put("mjpeg_http", "digest",
            std::string("\x00", 1) +
                "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"cam\", Digest realm=\"cam\", "
                "qop=\"auth,auth-int\", nonce=\"abc\", opaque=\"xyz\", algorithm=MD5\r\nContent-Length: 0\r\n\r\n");
        put("mjpeg_http", "basic",
            std::string("\x00", 1) + "HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"cam\"\r\n\r\n");
        put("mjpeg_http", "not_found", std::string("\x00", 1) + "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
    }

    // start_page: whole answers of a camera.
    put("start_page", "camera",
        "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<html><head><title>Front Door</title></head><body></body></html>");
    put("start_page", "not_found", "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
    put("start_page", "no_headers_end", "HTTP/1.0 200 OK\r\nServer: Qelt\r\n");

    // icmp: an echo reply with its IP header, the same without, and the two error kinds.
    {
        ipcam::EchoRequest req = ipcam::buildEchoRequest(0x1234, 7, 1000);
        Bytes icmp(req.begin(), req.end());
        icmp[0] = 0;  // echo reply
        Bytes ip{0x45, 0, 0, 72, 0, 0, 0, 0, 64, 1, 0, 0, 127, 0, 0, 1, 127, 0, 0, 1};
        Bytes withIp = ip;
        append(withIp, icmp);
        put("icmp", "echo_ip", withIp);
        put("icmp", "echo", icmp);
        Bytes unreachable = ip;
        append(unreachable, Bytes{3, 1, 0, 0, 0, 0, 0, 0});
        append(unreachable, ip);
        append(unreachable, Bytes(req.begin(), req.begin() + 8));
        put("icmp", "unreachable_ip", unreachable);
        Bytes exceeded = unreachable;
        exceeded[20] = 11;
        exceeded[21] = 0;
        put("icmp", "ttl_exceeded_ip", exceeded);
    }

    // smtp_reply: byte 0 = 1 logs in; then everything the server says, where
    // FE k L <L bytes> stands for the L bytes sent (k + 1)^2 times.
    put("smtp_reply", "login",
        std::string("\x01") +
            "220 mail ready\r\n250-mail\r\n250-AUTH LOGIN PLAIN\r\n250-AUTH=LOGIN\r\n250 SIZE 1000000\r\n"
            "250 reset\r\n334 VXNlcm5hbWU6\r\n334 UGFzc3dvcmQ6\r\n235 accepted\r\n250 sender\r\n250 receiver\r\n"
            "354 go on\r\n250 queued\r\n221 bye\r\n");
    put("smtp_reply", "helo",
        std::string("\x00", 1) +
            "220 old server\r\n502 what\r\n250 hello\r\n250 reset\r\n250 sender\r\n250 receiver\r\n354 go on\r\n"
            "250 queued\r\n");
    put("smtp_reply", "refused", std::string("\x00", 1) + "554 no service\r\n");
    put("smtp_reply", "long_line", std::string("\x00", 1) + "220 " + "\xFE\x4F\x01x" + "\r\n");
    put("smtp_reply", "many_lines",
        std::string("\x00", 1) + "220 ready\r\n" + "\xFE\x0F\x0A" + "250-more\r\n" + "250 done\r\n");

    // settings: a file as the program writes it, and a hand-edited one.
    {
        const std::string path = (root / "settings.tmp.INI").string();
        ipcam::CameraSettings s{};
        ipcam::applyFirstRunDefaults(s, "/tmp/recordings");
        s.hostAddress = "127.0.0.1";
        ipcam::SettingsStore(path).save(s);
        std::ifstream in(path, std::ios::binary);
        const std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::filesystem::remove(path);
        put("settings", "saved", saved);
        put("settings", "hand_edited",
            "; edited\r\n[Other]\r\nA=1\r\n[ipcam_1]\r\n  Host_Addr =  127.0.0.2  \r\nHost_Port=0x50\r\n"
            "Frame_Rate=$1F\r\nTimeBlock3_10=1\r\nSMTP_Receiver=a@b.c\r\nHost_Port=99\r\n");
    }

    // recorded_file: two pictures as the recorder writes them, and the same cut inside its index.
    {
        const Bytes avi = aviFile(2, {small1, small2}, 1);
        put("recorded_file", "two_pictures", avi);
        put("recorded_file", "cut_index", Bytes(avi.begin(), avi.end() - 20));
    }
    std::printf("seeds written to %s\n", root.c_str());
    return 0;
}
