// rtsp-viewers --url URL [--viewers N] [--transport udp|tcp|multicast] [--seconds S]
//              [--stagger-ms M] [--keepalive S] [--client-port P] [--no-teardown]
// Plays one RTSP stream to N viewers at once from one process: each
// describes, sets up, plays, keeps its session alive (GET_PARAMETER and an
// RTCP receiver report every --keepalive seconds) and, S seconds after all
// play and have received RTP (viewer i M ms later still), tears down: a
// daemon slow to start on a busy machine shortens no viewer's stream. Prints "viewer I: playing
// session S" as each starts and one JSON line per viewer at the end; exit 0
// when every viewer played and received RTP, 1 otherwise, 2 on usage.
#include <getopt.h>
#include <poll.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "viewer.h"

namespace {

constexpr char kUsage[] =
    "usage: rtsp-viewers --url URL [--viewers N] [--transport udp|tcp|multicast] [--seconds S]\n"
    "                    [--stagger-ms M] [--keepalive S] [--client-port P] [--no-teardown] [--help]\n"
    "Plays URL to N viewers at once (default 1) for S seconds (default 5) and reports each as a JSON line.\n";
constexpr int64_t kStartLimitMs = 20000; // every viewer must play within this

int64_t now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

} // namespace

int main(int argc, char** argv) {
  static const option kLong[] = {{"url", required_argument, nullptr, 'u'},
                                 {"viewers", required_argument, nullptr, 'n'},
                                 {"transport", required_argument, nullptr, 't'},
                                 {"seconds", required_argument, nullptr, 's'},
                                 {"stagger-ms", required_argument, nullptr, 'm'},
                                 {"keepalive", required_argument, nullptr, 'k'},
                                 {"client-port", required_argument, nullptr, 'p'},
                                 {"no-teardown", no_argument, nullptr, 'x'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {nullptr, 0, nullptr, 0}};
  viewers::viewer_config base;
  int count = 1;
  double seconds = 5;
  int stagger = 0;
  int first_port = 30000;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, "", kLong, nullptr)) != -1;) {
    switch (c) {
      case 'u': base.url = optarg; break;
      case 'n': count = std::atoi(optarg); break;
      case 't':
        base.how = std::strcmp(optarg, "tcp") == 0         ? viewers::transport::tcp
                   : std::strcmp(optarg, "multicast") == 0 ? viewers::transport::multicast
                                                           : viewers::transport::udp;
        break;
      case 's': seconds = std::atof(optarg); break;
      case 'm': stagger = std::atoi(optarg); break;
      case 'k': base.keepalive_ms = static_cast<int>(std::atof(optarg) * 1000); break;
      case 'p': first_port = std::atoi(optarg); break;
      case 'x': base.teardown = false; break;
      case 'h': std::fputs(kUsage, stdout); return 0;
      default:
        std::fprintf(stderr, "rtsp-viewers: unknown option or missing value: %s\n%s", argv[optind - 1], kUsage);
        return 2;
    }
  }
  if (base.url.empty() || count < 1 || count > 1000 || seconds < 0 || base.keepalive_ms < 100) {
    std::fprintf(stderr, "rtsp-viewers: --url is needed; 1..1000 viewers\n%s", kUsage);
    return 2;
  }

  std::vector<std::unique_ptr<viewers::viewer>> all;
  for (int i = 0; i < count; ++i) {
    viewers::viewer_config c = base;
    c.client_port = first_port + 2 * i;
    all.push_back(std::make_unique<viewers::viewer>(i, c));
    all.back()->connect_now();
  }
  const int64_t start = now_ms();
  int64_t all_playing = 0;
  const int64_t limit = start + kStartLimitMs + static_cast<int64_t>(seconds * 1000) + int64_t{stagger} * count + 10000;
  for (;;) {
    const int64_t now = now_ms();
    bool finished = true;
    bool playing = true;
    for (const auto& v : all) {
      finished = finished && v->done();
      playing = playing && ((v->playing() && v->received()) || v->done());
    }
    if (finished || now > limit || (all_playing == 0 && now > start + kStartLimitMs)) {
      break;
    }
    if (all_playing == 0 && playing) {
      all_playing = now;
    }
    std::vector<pollfd> fds;
    for (const auto& v : all) {
      v->add_poll_fds(fds);
    }
    poll(fds.data(), fds.size(), 50);
    for (size_t i = 0; i < all.size(); ++i) {
      all[i]->serve(fds, now);
      all[i]->tick(now);
      if (all_playing != 0 && now >= all_playing + static_cast<int64_t>(seconds * 1000) + int64_t{stagger} * static_cast<int64_t>(i) && all[i]->playing()) {
        all[i]->leave();
        if (!all[i]->playing()) {
          std::printf("viewer %zu: leaving\n", i);
          std::fflush(stdout);
        }
      }
    }
  }
  bool ok = true;
  for (const auto& v : all) {
    std::printf("%s\n", v->report().c_str());
    ok = ok && !v->failed() && v->report().find("\"packets\":0,") == std::string::npos && v->done();
  }
  return ok ? 0 : 1;
}
