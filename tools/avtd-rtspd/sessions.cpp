#include "sessions.h"

namespace rtspd {

int session_table::take_slot() {
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (!slots_[i]) {
      slots_[i] = true;
      return static_cast<int>(i);
    }
  }
  return -1;
}

void session_table::free_slot(int slot) {
  if (slot >= 0 && static_cast<size_t>(slot) < slots_.size()) {
    slots_[static_cast<size_t>(slot)] = false;
  }
}

session* session_table::find(int id) {
  const auto it = sessions.find(id);
  return it == sessions.end() ? nullptr : &it->second;
}

shared_stream* session_table::find_shared(int id) {
  const auto it = shared.find(id);
  return it == shared.end() ? nullptr : &it->second;
}

size_t session_table::daemons_planned() const {
  size_t n = shared.size();
  for (const auto& [id, s] : sessions) {
    n += s.shared < 0 ? 1 : 0;
  }
  return n;
}

int session_table::add(const session_info&) {
  const int id = new_id();
  registered_.insert(id);
  return id;
}

bool session_table::update(int session_id, uint32_t bitrate_kbps) {
  if (session* s = find(session_id)) {
    s->bitrate = bitrate_kbps;
    return true;
  }
  if (shared_stream* m = find_shared(session_id)) {
    m->bitrate = bitrate_kbps;
    return true;
  }
  return registered_.count(session_id) != 0;
}

bool session_table::remove(int session_id) {
  // The viewer's session ends when its daemon is reaped, not when the
  // daemon says goodbye: the reaping also frees the ports.
  return registered_.erase(session_id) != 0 || find(session_id) != nullptr || find_shared(session_id) != nullptr;
}

std::string session_table::framerate(pid_t asker) {
  for (const auto& [id, s] : sessions) {
    if (s.daemon == asker && asker > 0 && s.stream.fps > 0) {
      return std::to_string(s.stream.fps);
    }
  }
  for (const auto& [id, m] : shared) {
    if (m.daemon == asker && asker > 0 && m.stream.fps > 0) {
      return std::to_string(m.stream.fps);
    }
  }
  return std::to_string(framerate_);
}

} // namespace rtspd
