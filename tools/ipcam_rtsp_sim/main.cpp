// ipcam-rtsp-sim: a stand-in for a camera that sends H.264 or H.265 over
// RTSP, for the tests and the demo. Listens on loopback only.
//
// Every client gets a stream of its own (the media is not shared), which
// begins with a key frame; --stall-after/--stall-for and --drop-after count
// from the start of each client's stream, so a client that connects again
// meets the same behaviour again.

#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>

#include <glib-unix.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "nal_units.h"

namespace {

struct Options {
    int port = 8554;
    std::string bind = "127.0.0.1";
    std::string path = "/stream";
    std::string codec = "h264";
    int width = 640, height = 360, fps = 25, gop = 0;
    std::string audio = "none";
    std::string user, password;
    double stallAfter = -1, stallFor = 0, dropAfter = -1;
    std::string keepSent;
    std::string scene = "bars";
    bool udpOnly = false;
};

Options options;
FILE* sentFile = nullptr;
GMutex sentLock;

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr,
                 "ipcam-rtsp-sim: %s\n"
                 "usage: ipcam-rtsp-sim --port N [--bind 127.0.0.1] [--path /stream] [--codec h264|h265]\n"
                 "       [--size WxH] [--fps N] [--gop N] [--audio none|pcma|aac] [--user U --password P]\n"
                 "       [--stall-after SEC --stall-for SEC] [--drop-after SEC] [--keep-sent FILE] [--scene bars|ball]\n"
                 "       [--udp-only]\n",
                 why);
    std::exit(2);
}

bool parse(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage(("missing value for " + a).c_str());
            return argv[++i];
        };
        auto number = [&](double lo, double hi) {
            const std::string v = value();
            char* end = nullptr;
            const double d = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || d < lo || d > hi) usage(("bad value for " + a + ": " + v).c_str());
            return d;
        };
        if (a == "--port") options.port = static_cast<int>(number(1, 65535));
        else if (a == "--bind") options.bind = value();
        else if (a == "--path") options.path = value();
        else if (a == "--codec") options.codec = value();
        else if (a == "--size") {
            const std::string v = value();
            if (std::sscanf(v.c_str(), "%dx%d", &options.width, &options.height) != 2 || options.width < 16 ||
                options.height < 16 || options.width > 3840 || options.height > 2160 || options.width % 2 ||
                options.height % 2)
                usage(("bad size: " + v).c_str());
        } else if (a == "--fps") options.fps = static_cast<int>(number(1, 60));
        else if (a == "--gop") options.gop = static_cast<int>(number(1, 600));
        else if (a == "--audio") options.audio = value();
        else if (a == "--user") options.user = value();
        else if (a == "--password") options.password = value();
        else if (a == "--stall-after") options.stallAfter = number(0, 86400);
        else if (a == "--stall-for") options.stallFor = number(0, 86400);
        else if (a == "--drop-after") options.dropAfter = number(0, 86400);
        else if (a == "--keep-sent") options.keepSent = value();
        else if (a == "--scene") options.scene = value();
        else if (a == "--udp-only") options.udpOnly = true;
        else usage(("unknown option " + a).c_str());
    }
    if (options.scene != "bars" && options.scene != "ball") usage("--scene is bars or ball");
    if (options.codec != "h264" && options.codec != "h265") usage("--codec is h264 or h265");
    if (options.audio != "none" && options.audio != "pcma" && options.audio != "aac") usage("--audio is none, pcma or aac");
    if (options.bind.rfind("127.", 0) != 0) usage("--bind takes a loopback address (127.x.x.x) only");
    if (options.path.empty() || options.path[0] != '/') usage("--path begins with /");
    if (options.user.empty() != options.password.empty()) usage("--user and --password go together");
    if (options.gop == 0) options.gop = 2 * options.fps;
    return true;
}

std::string launchLine() {
    const bool hevc = options.codec == "h265";
    std::string video = "videotestsrc is-live=true pattern=" + std::string(options.scene == "ball" ? "ball" : "smpte") +
                        " ! video/x-raw,width=" + std::to_string(options.width) +
                        ",height=" + std::to_string(options.height) + ",framerate=" + std::to_string(options.fps) +
                        "/1 ! videoconvert ! ";
    if (hevc) {
        // 4:2:0 at 8 bits (Main profile), as cameras send.
        video += "video/x-raw,format=I420 ! x265enc tune=zerolatency speed-preset=ultrafast key-int-max=" +
                 std::to_string(options.gop) +
                 " ! video/x-h265,stream-format=byte-stream,alignment=au ! h265parse name=parse config-interval=-1 "
                 "! video/x-h265,stream-format=byte-stream,alignment=au ! rtph265pay name=pay0 pt=96 config-interval=-1";
    } else {
        video += "x264enc tune=zerolatency speed-preset=ultrafast sliced-threads=false threads=1 key-int-max=" +
                 std::to_string(options.gop) +
                 " ! video/x-h264,profile=baseline,stream-format=byte-stream,alignment=au ! h264parse name=parse "
                 "config-interval=-1 ! video/x-h264,stream-format=byte-stream,alignment=au ! rtph264pay name=pay0 pt=96 config-interval=-1";
    }
    std::string audio;
    if (options.audio == "pcma") {
        audio = " audiotestsrc is-live=true wave=sine freq=440 ! audio/x-raw,rate=8000,channels=1 ! alawenc ! "
                "rtppcmapay name=pay1 pt=8";
    } else if (options.audio == "aac") {
        audio = " audiotestsrc is-live=true wave=sine freq=440 ! audio/x-raw,rate=48000,channels=1 ! audioconvert ! "
                "voaacenc ! aacparse ! rtpmp4apay name=pay1 pt=97";
    }
    return "( " + video + audio + " )";
}

// What one client's stream does over time.
struct StreamClock {
    gint64 firstBuffer = -1;  // monotonic microseconds
};

double secondsSince(StreamClock* c) {
    const gint64 now = g_get_monotonic_time();
    if (c->firstBuffer < 0) c->firstBuffer = now;
    return static_cast<double>(now - c->firstBuffer) / 1e6;
}

// During the stall nothing is sent: RTP packets are dropped at the payloader.
GstPadProbeReturn stallProbe(GstPad*, GstPadProbeInfo*, gpointer data) {
    const double t = secondsSince(static_cast<StreamClock*>(data));
    if (options.stallAfter >= 0 && t >= options.stallAfter && t < options.stallAfter + options.stallFor)
        return GST_PAD_PROBE_DROP;
    return GST_PAD_PROBE_OK;
}

// Each access unit the parser hands on: its time, key flag and the digest
// of its picture NAL units.
void logSent(GstBuffer* buffer, StreamClock* clock);

GstPadProbeReturn sentProbe(GstPad*, GstPadProbeInfo* info, gpointer data) {
    if (!sentFile) return GST_PAD_PROBE_OK;
    auto* clock = static_cast<StreamClock*>(data);
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
        GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
        for (guint i = 0; list && i < gst_buffer_list_length(list); ++i) logSent(gst_buffer_list_get(list, i), clock);
    } else if (GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info)) {
        logSent(buffer, clock);
    }
    return GST_PAD_PROBE_OK;
}

void logSent(GstBuffer* buffer, StreamClock* clock) {
    const double t = secondsSince(clock);
    // What the stall drops is not sent.
    if (options.stallAfter >= 0 && t >= options.stallAfter && t < options.stallAfter + options.stallFor)
        return;
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return;
    const auto nals = ipcam::sim::canonicalNals(map.data, map.size, options.codec == "h265", true);
    gst_buffer_unmap(buffer, &map);
    if (nals.empty()) return;
    gchar* md5 = g_compute_checksum_for_data(G_CHECKSUM_MD5, nals.data(), nals.size());
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    const long long pts90k = GST_CLOCK_TIME_IS_VALID(pts) ? static_cast<long long>(gst_util_uint64_scale(pts, 90000, GST_SECOND)) : -1;
    const int key = GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT) ? 0 : 1;
    g_mutex_lock(&sentLock);
    std::fprintf(sentFile, "%lld %d %s\n", pts90k, key, md5);
    std::fflush(sentFile);
    g_mutex_unlock(&sentLock);
    g_free(md5);
    return;
}

void onMediaConfigure(GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer) {
    GstElement* bin = gst_rtsp_media_get_element(media);
    auto* clock = new StreamClock;
    g_object_set_data_full(G_OBJECT(media), "stream-clock", clock, [](gpointer p) { delete static_cast<StreamClock*>(p); });
    if (GstElement* pay = gst_bin_get_by_name(GST_BIN(bin), "pay0")) {
        GstPad* src = gst_element_get_static_pad(pay, "src");
        gst_pad_add_probe(src, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST), stallProbe, clock, nullptr);
        gst_object_unref(src);
        gst_object_unref(pay);
    }
    if (GstElement* parse = gst_bin_get_by_name(GST_BIN(bin), "parse")) {
        GstPad* src = gst_element_get_static_pad(parse, "src");
        gst_pad_add_probe(src, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                          sentProbe, clock, nullptr);
        gst_object_unref(src);
        gst_object_unref(parse);
    }
    gst_object_unref(bin);
}

gboolean closeClient(gpointer data) {
    auto* client = static_cast<GstRTSPClient*>(data);
    gst_rtsp_client_close(client);
    return G_SOURCE_REMOVE;
}

void onClientConnected(GstRTSPServer*, GstRTSPClient* client, gpointer) {
    if (options.dropAfter >= 0) {
        g_timeout_add_full(G_PRIORITY_DEFAULT, static_cast<guint>(options.dropAfter * 1000), closeClient,
                           g_object_ref(client), g_object_unref);
    }
}

gboolean onSignal(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
    gst_init(&argc, &argv);
    parse(argc, argv);
    if (!options.keepSent.empty()) {
        sentFile = std::fopen(options.keepSent.c_str(), "a");
        if (!sentFile) usage(("cannot open " + options.keepSent).c_str());
    }
    g_mutex_init(&sentLock);
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    GstRTSPServer* server = gst_rtsp_server_new();
    gst_rtsp_server_set_address(server, options.bind.c_str());
    gst_rtsp_server_set_service(server, std::to_string(options.port).c_str());

    GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
    gst_rtsp_media_factory_set_launch(factory, launchLine().c_str());
    gst_rtsp_media_factory_set_shared(factory, FALSE);
    // RTP inside the RTSP connection, as the recorder asks for it first; or,
    // as some cameras and servers do, over UDP only (a SETUP asking for TCP
    // is answered 461). The UDP ports are the server's choice; RTP goes to
    // the client's address, loopback.
    gst_rtsp_media_factory_set_protocols(factory, options.udpOnly ? GST_RTSP_LOWER_TRANS_UDP : GST_RTSP_LOWER_TRANS_TCP);
    g_signal_connect(factory, "media-configure", G_CALLBACK(onMediaConfigure), nullptr);
    if (!options.user.empty()) {
        GstRTSPAuth* auth = gst_rtsp_auth_new();
        gst_rtsp_auth_set_supported_methods(auth, GST_RTSP_AUTH_DIGEST);
        GstRTSPToken* token = gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, "viewer", nullptr);
        gst_rtsp_auth_add_digest(auth, options.user.c_str(), options.password.c_str(), token);
        gst_rtsp_token_unref(token);
        gst_rtsp_server_set_auth(server, auth);
        g_object_unref(auth);
        gst_rtsp_media_factory_add_role(factory, "viewer", GST_RTSP_PERM_MEDIA_FACTORY_ACCESS, G_TYPE_BOOLEAN, TRUE,
                                        GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT, G_TYPE_BOOLEAN, TRUE, nullptr);
    }
    GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server);
    gst_rtsp_mount_points_add_factory(mounts, options.path.c_str(), factory);
    g_object_unref(mounts);
    g_signal_connect(server, "client-connected", G_CALLBACK(onClientConnected), nullptr);
    if (gst_rtsp_server_attach(server, nullptr) == 0) {
        std::fprintf(stderr, "ipcam-rtsp-sim: cannot listen on %s:%d\n", options.bind.c_str(), options.port);
        return 1;
    }
    g_unix_signal_add(SIGTERM, onSignal, loop);
    g_unix_signal_add(SIGINT, onSignal, loop);
    std::printf("ready rtsp://%s:%d%s\n", options.bind.c_str(), gst_rtsp_server_get_bound_port(server),
                options.path.c_str());
    std::fflush(stdout);
    g_main_loop_run(loop);
    g_object_unref(server);
    g_main_loop_unref(loop);
    if (sentFile) std::fclose(sentFile);
    return 0;
}
