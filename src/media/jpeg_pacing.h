// Dropping JPEG pictures so that the output rate approaches a target. All
// arithmetic is single precision on purpose: the drop patterns depend on it
// (30 towards 25 sends four pictures and drops the fifth, because
// 1 / (30 / 25 - 1) comes out just below 5).
#pragma once

// The target from the frame-rate option and the session frame rate. A
// negative target means one picture every that many seconds.
float jpeg_target_rate(int framerate_option, int session_rate);

// Decides for one picture of source rate `source` (frames/s) against
// `target`; `drop_count` runs across pictures. true: send it.
bool jpeg_pace(float source, float target, int* drop_count);
