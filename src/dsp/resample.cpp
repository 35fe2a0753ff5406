#include "dsp/resample.h"

#ifdef SPLYCE_HAVE_SOXR
#include <soxr.h>

namespace {

// The conversion running, or null.
soxr_t g_resampler = nullptr;

}  // namespace

bool CanResample() { return true; }

bool StartResampling(int32_t in_rate, int32_t out_rate, int32_t channels) {
  StopResampling();
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);  // the same bytes every run
  soxr_error_t error = nullptr;
  g_resampler = soxr_create(double(in_rate), double(out_rate), unsigned(channels), &error, &io,
                            &quality, &runtime);
  if (error != nullptr) StopResampling();
  return g_resampler != nullptr;
}

int64_t Resample(const double* in, int64_t frames, int64_t* taken, double* out, int64_t room) {
  size_t used = 0;
  size_t made = 0;
  const soxr_error_t error = soxr_process(g_resampler, in, in == nullptr ? 0 : size_t(frames),
                                          &used, out, size_t(room), &made);
  *taken = int64_t(used);
  return error == nullptr ? int64_t(made) : -1;
}

void StopResampling() {
  if (g_resampler != nullptr) soxr_delete(g_resampler);
  g_resampler = nullptr;
}

#else  // a build without libsoxr converts no rates

bool CanResample() { return false; }
bool StartResampling(int32_t, int32_t, int32_t) { return false; }
int64_t Resample(const double*, int64_t, int64_t* taken, double*, int64_t) {
  *taken = 0;
  return -1;
}
void StopResampling() {}

#endif
