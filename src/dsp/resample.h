// Sample-rate conversion of interleaved double samples, by libsoxr at its
// very-high quality, with fixed settings (one thread), so that every run
// gives the same samples. Output sample 0 lies at the time of input sample
// 0: the filter's delay is taken care of. One conversion runs at a time.
#ifndef SPLYCE_DSP_RESAMPLE_H
#define SPLYCE_DSP_RESAMPLE_H

#include <cstdint>

// Reports whether this build converts sample rates (it was built with
// libsoxr).
bool CanResample();

// Starts a conversion of `channels` channels from `in_rate` to `out_rate`
// (Hz). Returns false when it cannot.
bool StartResampling(int32_t in_rate, int32_t out_rate, int32_t channels);

// Feeds up to `frames` frames of `in` (none, with `in` null, once the input
// has ended, which drains the filter) and writes up to `room` frames to
// `out`. Sets *taken to the input frames used and returns the frames
// written, or -1 when the conversion fails.
int64_t Resample(const double* in, int64_t frames, int64_t* taken, double* out, int64_t room);

// Ends the conversion and lets its memory go.
void StopResampling();

#endif  // SPLYCE_DSP_RESAMPLE_H
