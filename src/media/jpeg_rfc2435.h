// Turning a stored JPEG picture into the unit and header fields of the
// RFC 2435 payload: the header part is dropped, the scan data moved to the
// buffer start, and the record's JPEG fields describe the picture.
#pragma once

#include <cstdint>

#include "media/jpeg_header.h"

struct rtp_thread;
struct shm_blockinfo;

// Fewer scan bytes than this is no picture (an entropy-coded segment ends
// with the 2-byte EOI at least).
inline constexpr int kMinScanBytes = 2;
// The largest size the 8-pixel-unit byte fields can say; beyond it they say
// 0, which tells a receiver to take the size from the session description.
inline constexpr int kMaxRfc2435Dimension = 2040;

// Width or height as the one-byte field carries it.
uint8_t rfc2435_dimension(uint16_t pixels);

// `picture` holds `length` bytes of one JPEG file. Returns the scan data's
// length, now at the buffer start, with the record's JPEG fields filled
// (the quantisation tables too when Q is 128 or more, or reserved); 0 when
// the picture has a truncated or corrupt header or little or no scan data,
// or cannot be described in RFC 2435 (`fit` then says why), and must not be
// sent.
int prepare_rfc2435_picture(rtp_thread* thread, const shm_blockinfo& info, unsigned char* picture,
                            int length, jpeg_fit* fit);
