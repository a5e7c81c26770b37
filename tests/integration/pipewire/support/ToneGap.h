#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <vector>

namespace mixelot::testsupport {

// What went wrong in a recorded sine while it changed paths: the longest run of silent samples,
// and how many samples stepped further from the one before than the tone itself ever does (a
// cut, a cycle of both paths at once, a gain that jumped rather than ramped).
struct ToneFaults {
  size_t longestSilence = 0;  // frames
  size_t steps = 0;
  // The longest stretch of silence or discontinuity in milliseconds at 48 kHz, a step counting
  // as one frame.
  double gapMs() const {
    return static_cast<double>(std::max(longestSilence, steps > 0 ? size_t{1} : 0)) / 48.0;
  }
};

// The faults in the left channel of an interleaved stereo recording at 48 kHz of a sine of
// `frequency` and at most `amplitude`, between its first and its last sound (a recording starts
// and may end with silence of its own).
inline ToneFaults toneFaults(const std::vector<float>& interleaved, double frequency,
                             double amplitude) {
  constexpr float kSilent = 1e-4f;
  // A sine's largest step between samples is 2 pi f A / rate; a margin for rounding.
  const double ownStep = 2 * std::numbers::pi * frequency * amplitude / 48000.0 * 1.2 + 1e-3;
  std::vector<float> left;
  for (size_t i = 0; i < interleaved.size(); i += 2) left.push_back(interleaved[i]);
  auto loud = [&](float sample) { return std::abs(sample) >= kSilent; };
  const auto first = std::find_if(left.begin(), left.end(), loud);
  const auto last = std::find_if(left.rbegin(), left.rend(), loud).base();
  ToneFaults faults;
  size_t silence = 0;
  for (auto it = first; it < last; ++it) {
    silence = loud(*it) ? 0 : silence + 1;
    // A sine passes zero within a sample; only a longer run is a cut.
    if (silence > 1) faults.longestSilence = std::max(faults.longestSilence, silence);
    if (it != first && std::abs(*it - *(it - 1)) > ownStep) ++faults.steps;
  }
  return faults;
}

}  // namespace mixelot::testsupport
