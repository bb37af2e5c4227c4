// The pause between attach attempts and codec checks. Unit tests swap it for
// one that returns at once; the daemon keeps the real one-second sleeps.
#pragma once

using media_sleep_fn = void (*)(unsigned seconds);

// Written only before any stream thread starts.
extern media_sleep_fn media_sleep;

void media_sleep_real(unsigned seconds);
