// Instant.hpp: `Instant`, an absolute time as seconds since 2001-01-01T00:00:00Z.
//
// The engine never reads a clock: every time-dependent operation takes its `now` from the
// caller, so tests and replays pick any time they like. Durations are plain seconds.
//
//   Instant  meaning
//   -------  ---------------------------------------
//   0        2001-01-01T00:00:00Z
//   600.25   ten minutes and a quarter second later
#pragma once

namespace tolvane {

using Instant = double;

}  // namespace tolvane
