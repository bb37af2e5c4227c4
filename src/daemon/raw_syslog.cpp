// The signal handler's own syslog writer. It mirrors the line the C
// library writes with its default identity and facility, so that log
// readers see no difference.
#include "daemon/raw_syslog.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "daemon/options.h"

namespace {

constexpr char kLogPath[] = "/dev/log";
constexpr int kLineSize = 512;
constexpr int kIdentSize = 64;

char g_ident[kIdentSize] = "avtd";
std::atomic<long> g_utc_offset{0};
std::atomic<bool> g_mirror{false};

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Days since 1970-01-01 to year, month (1..12), day (1..31) in the
// proleptic Gregorian calendar.
void civil_from_days(long long days, long long* year, int* month, int* day) {
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const long long doe = days - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = yoe + era * 400 + (*month <= 2 ? 1 : 0);
}

} // namespace

int raw_append_text(char* buf, int pos, int cap, const char* text) {
  while (*text != '\0' && pos < cap - 1) {
    buf[pos++] = *text++;
  }
  buf[pos] = '\0';
  return pos;
}

int raw_append_number(char* buf, int pos, int cap, long value, int width, char pad) {
  char digits[24];
  int n = 0;
  const bool negative = value < 0;
  unsigned long v = negative ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0 && n < static_cast<int>(sizeof digits));
  if (negative) {
    digits[n++] = '-';
  }
  for (int i = n; i < width && pos < cap - 1; ++i) {
    buf[pos++] = pad;
  }
  while (n > 0 && pos < cap - 1) {
    buf[pos++] = digits[--n];
  }
  buf[pos] = '\0';
  return pos;
}

int raw_append_timestamp(char* buf, int pos, int cap, long long local_seconds) {
  long long days = local_seconds / 86400;
  long long rest = local_seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  long long year = 0;
  int month = 1;
  int day = 1;
  civil_from_days(days, &year, &month, &day);
  pos = raw_append_text(buf, pos, cap, kMonths[month - 1]);
  pos = raw_append_text(buf, pos, cap, " ");
  pos = raw_append_number(buf, pos, cap, day, 2, ' ');
  pos = raw_append_text(buf, pos, cap, " ");
  pos = raw_append_number(buf, pos, cap, static_cast<long>(rest / 3600), 2, '0');
  pos = raw_append_text(buf, pos, cap, ":");
  pos = raw_append_number(buf, pos, cap, static_cast<long>(rest / 60 % 60), 2, '0');
  pos = raw_append_text(buf, pos, cap, ":");
  pos = raw_append_number(buf, pos, cap, static_cast<long>(rest % 60), 2, '0');
  return raw_append_text(buf, pos, cap, " ");
}

void raw_syslog_prepare() {
  std::strncpy(g_ident, program_invocation_short_name, sizeof g_ident - 1);
  const time_t now = time(nullptr);
  tm local{};
  if (localtime_r(&now, &local) != nullptr) {
    g_utc_offset.store(local.tm_gmtoff, std::memory_order_relaxed);
  }
}

void raw_syslog_mirror_to_stderr() { g_mirror.store(true, std::memory_order_relaxed); }

void raw_syslog(int priority, const char* text) {
  if ((chosen_log_mask() & LOG_MASK(LOG_PRI(priority))) == 0) {
    return;
  }
  const int saved_errno = errno;
  char line[kLineSize];
  int pos = raw_append_text(line, 0, kLineSize, "<");
  pos = raw_append_number(line, pos, kLineSize, LOG_USER | LOG_PRI(priority), 0, ' ');
  pos = raw_append_text(line, pos, kLineSize, ">");
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  pos = raw_append_timestamp(line, pos, kLineSize, now.tv_sec + g_utc_offset.load(std::memory_order_relaxed));
  const int ident_at = pos;
  pos = raw_append_text(line, pos, kLineSize, g_ident);
  pos = raw_append_text(line, pos, kLineSize, ": ");
  pos = raw_append_text(line, pos, kLineSize, text);

  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, kLogPath, sizeof kLogPath);
    sendto(fd, line, static_cast<size_t>(pos), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    close(fd);
  }
  if (g_mirror.load(std::memory_order_relaxed)) {
    // As the C library's LOG_PERROR shows a line: from the identity on.
    (void)!write(STDERR_FILENO, line + ident_at, static_cast<size_t>(pos - ident_at));
    (void)!write(STDERR_FILENO, "\n", 1);
  }
  errno = saved_errno;
}
