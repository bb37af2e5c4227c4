#include "options.h"

#include <getopt.h>

#include "support/command_line.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace feeder {

const char kUsage[] =
    "usage: frame-feeder --codec h264|jpeg|mpeg4|ulaw (--channel N | --playback) --input FILE\n"
    "                    [--fps F] [--frames N] [--loop] [--unpaced] [options]\n"
    "Writes the frames of FILE into a frame store, creating the store if needed.\n"
    "  --codec C          h264: Annex B byte stream, one NAL unit per block (4-byte\n"
    "                     start codes), the first block of each key frame (its SPS)\n"
    "                     marked with frame type 8; jpeg: concatenated JPEG files, one\n"
    "                     picture per block with its size and RFC 2435 Q (255 for\n"
    "                     tables that are not the scaled standard ones); mpeg4: MPEG-4\n"
    "                     Part 2 elementary stream, one VOP per block, I-VOPs with the\n"
    "                     configuration headers in front and frame type 15; ulaw: raw\n"
    "                     8 kHz mu-law in blocks of --audio-block bytes\n"
    "  --channel N        video channel N (0..3); ulaw always goes to the first audio\n"
    "                     channel, whatever N\n"
    "  --playback         the playback store /tmp/shm9 (number 122); blocks carry 90 kHz\n"
    "                     timestamps, and an H.264 access unit shares blocks as far as\n"
    "                     the stream can cut them apart again (up to four NAL units)\n"
    "  --input FILE       the media file\n"
    "  --fps F            frames per second (default 30); the block's frame rate code\n"
    "                     is F rounded, 64 for 7.5 and 254 for 0.5; mu-law is always\n"
    "                     paced at 8000 bytes per second\n"
    "  --frames N         stop after N frames: H.264 access units, JPEG pictures,\n"
    "                     MPEG-4 VOPs, mu-law or --raw-block blocks (default: the file)\n"
    "  --loop             start the file again at its end\n"
    "  --unpaced          write as fast as possible\n"
    "  --keep             leave the store live at exit (default: mark it destroyed)\n"
    "  --raw-block N      cut the file into N-byte blocks, each one frame, marked as a\n"
    "                     key frame for its codec (8 h264, 15 mpeg4); with ulaw, the\n"
    "                     audio block size\n"
    "  --audio-block N    mu-law block size in bytes (default 320, at most 1072)\n"
    "  --rate-code N      write frame rate code N (0..255) instead of the one from --fps\n"
    "  --fallback-size WxH  the fallback width and height fields (default: the picture\n"
    "                     size for JPEG, 0 otherwise)\n"
    "  --no-size          write width and height 0, so that readers use the fallback\n"
    "  --headers-once     h264: parameter sets only when they change (at the start),\n"
    "                     not in front of every key frame\n"
    "  --status FILE      keep FILE rewritten with {\"frames\":N,\"blocks\":M,\"running\":B}\n"
    "  --store PATH       write the store at PATH instead of the channel's\n"
    "  --number N         the store's number with --store (default 100)\n"
    "  --blocks N         blocks in the ring (default 256, audio 128)\n"
    "  --ring-size N      bytes in the data ring (default 8 MiB, audio 64 KiB)\n"
    "  --max-frame N      largest block in bytes (default 1 MiB, audio 1072; raised to\n"
    "                     the largest block of the file)\n"
    "  --help             this text\n"
    "Prints \"fed N frames (M blocks)\" at exit. SIGTERM or SIGINT stop it cleanly.\n"
    "Exit status: 0 done, 1 input or store failure, 2 bad command line.\n";

namespace {

enum Opt {
  kCodec = 256, kChannel, kPlayback, kInput, kFps, kFrames, kLoop, kUnpaced, kKeep, kRawBlock,
  kAudioBlock, kRateCode, kFallback, kNoSize, kNoRepeat, kStatus, kStore, kNumber, kBlocks, kRing, kMaxFrame, kHelp,
};

const option kLongOptions[] = {
    {"codec", required_argument, nullptr, kCodec},
    {"channel", required_argument, nullptr, kChannel},
    {"playback", no_argument, nullptr, kPlayback},
    {"input", required_argument, nullptr, kInput},
    {"fps", required_argument, nullptr, kFps},
    {"frames", required_argument, nullptr, kFrames},
    {"loop", no_argument, nullptr, kLoop},
    {"unpaced", no_argument, nullptr, kUnpaced},
    {"keep", no_argument, nullptr, kKeep},
    {"raw-block", required_argument, nullptr, kRawBlock},
    {"audio-block", required_argument, nullptr, kAudioBlock},
    {"rate-code", required_argument, nullptr, kRateCode},
    {"fallback-size", required_argument, nullptr, kFallback},
    {"no-size", no_argument, nullptr, kNoSize},
    {"headers-once", no_argument, nullptr, kNoRepeat},
    {"status", required_argument, nullptr, kStatus},
    {"store", required_argument, nullptr, kStore},
    {"number", required_argument, nullptr, kNumber},
    {"blocks", required_argument, nullptr, kBlocks},
    {"ring-size", required_argument, nullptr, kRing},
    {"max-frame", required_argument, nullptr, kMaxFrame},
    {"help", no_argument, nullptr, kHelp},
    {nullptr, 0, nullptr, 0},
};

bool to_uint(const char* text, uint64_t min, uint64_t max, uint64_t* out) {
  if (text == nullptr || *text == '\0' || *text == '-') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

template <typename T>
bool set_uint(const char* text, uint64_t min, uint64_t max, T* field) {
  uint64_t v = 0;
  if (!to_uint(text, min, max, &v)) return false;
  *field = static_cast<T>(v);
  return true;
}

bool parse_codec(const char* text, Codec* codec) {
  const std::string s = text;
  if (s == "h264") *codec = Codec::h264;
  else if (s == "jpeg") *codec = Codec::jpeg;
  else if (s == "mpeg4") *codec = Codec::mpeg4;
  else if (s == "ulaw") *codec = Codec::ulaw;
  else return false;
  return true;
}

bool parse_size(const char* text, int* w, int* h) {
  const char* x = std::strchr(text, 'x');
  if (x == nullptr) return false;
  const std::string ws(text, x);
  uint64_t wv = 0;
  uint64_t hv = 0;
  if (!to_uint(ws.c_str(), 0, 65535, &wv) || !to_uint(x + 1, 0, 65535, &hv)) return false;
  *w = static_cast<int>(wv);
  *h = static_cast<int>(hv);
  return true;
}

ParseResult fail(std::string why) { return ParseResult{std::nullopt, std::move(why)}; }

}  // namespace

uint8_t rate_code_for(double fps) {
  if (fps == 7.5) return 64;
  if (fps == 0.5) return 254;
  return static_cast<uint8_t>(std::clamp<long>(std::lround(fps), 1, 253));
}

ParseResult parse_options(int argc, char* argv[]) {
  Options o;
  bool codec_set = false;
  optind = 1;
  opterr = 0;
  for (;;) {
    const int c = getopt_long(argc, argv, "", kLongOptions, nullptr);
    if (c == -1) break;
    const char* arg = optarg;
    bool ok = true;
    switch (c) {
      case kCodec: ok = codec_set = parse_codec(arg, &o.codec); break;
      case kChannel: ok = set_uint(arg, 0, 3, &o.channel); break;
      case kPlayback: o.playback = true; break;
      case kInput: o.input = arg; ok = !o.input.empty(); break;
      case kFps: {
        char* end = nullptr;
        o.fps = std::strtod(arg, &end);
        ok = *arg != '\0' && *end == '\0' && o.fps > 0 && o.fps <= 1000;
        break;
      }
      case kFrames: ok = set_uint(arg, 1, UINT64_MAX, &o.max_frames); break;
      case kLoop: o.loop = true; break;
      case kUnpaced: o.unpaced = true; break;
      case kKeep: o.keep = true; break;
      case kRawBlock: ok = set_uint(arg, 1, 64u << 20, &o.raw_block); break;
      case kAudioBlock: ok = set_uint(arg, 1, 1072, &o.audio_block); break;
      case kRateCode: ok = set_uint(arg, 0, 255, &o.rate_code); break;
      case kFallback: ok = parse_size(arg, &o.fallback_width, &o.fallback_height); break;
      case kNoSize: o.no_size = true; break;
      case kNoRepeat: o.repeat_headers = false; break;
      case kStatus: o.status_path = arg; break;
      case kStore: o.store_path = arg; ok = !o.store_path.empty(); break;
      case kNumber: ok = set_uint(arg, 0, INT32_MAX, &o.store_number); break;
      case kBlocks: ok = set_uint(arg, 2, 65536, &o.blocks); break;
      case kRing: ok = set_uint(arg, 8, 1u << 30, &o.ring_size); break;
      case kMaxFrame: ok = set_uint(arg, 1, 512u << 20, &o.max_frame); break;
      case kHelp: o.help = true; break;
      default: return fail(unparsed_option(argv, kLongOptions));
    }
    if (!ok) return fail(std::string("bad value for ") + argv[optind - 1] + (arg ? std::string(" ") + arg : ""));
  }
  if (o.help) return ParseResult{o, {}};
  if (optind < argc) return fail(std::string("unexpected argument ") + argv[optind]);
  if (!codec_set) return fail("--codec is required");
  if (o.input.empty()) return fail("--input is required");
  const bool has_target = o.channel >= 0 || o.playback || !o.store_path.empty();
  if (!has_target) return fail("one of --channel or --playback is required");
  if (o.channel >= 0 && o.playback) return fail("--channel and --playback exclude each other");
  return ParseResult{o, {}};
}

}  // namespace feeder
