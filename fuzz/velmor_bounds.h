// The option pairs of the velmor fuzz target's bounded --drape run, shared
// with the test that replays the kept inputs: small enough that every stage
// runs and none runs for long.
#pragma once

inline constexpr const char* kVelmorFuzzBounds[] = {
    "--max-passes", "2", "--max-faces", "3000", "--flip-passes", "2",
    "--collapse-passes", "2", "--cg-max", "60", "--drap-passes", "2",
    "--rim-grad", "1.5",
};
