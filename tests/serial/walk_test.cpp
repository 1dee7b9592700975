// corserial held to the serial contract along seeded random walks (contract/walk.h): requests,
// cancels, purges, closes, settings, far-end traffic, errors, breaks, modem changes and races at
// the points where another processor's work can come in. A disagreement fails the test with its
// seed and the shortest sequence of steps found that still shows it.
//
// CORAN_WALKS and CORAN_WALK_STEPS set how many walks and how long (make stress runs many);
// CORAN_WALK_SEED starts from another seed (to replay one: CORAN_WALKS=1 and its seed).
#include "walk.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

uint64_t FromEnvironment(const char* name, uint64_t fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 0) : fallback;
}

TEST(SerialContractWalk, EveryAnswerIsOneTheDocumentationAllows)
{
    const uint64_t walks = FromEnvironment("CORAN_WALKS", 12);
    const uint64_t steps = FromEnvironment("CORAN_WALK_STEPS", 400);
    const uint64_t first = FromEnvironment("CORAN_WALK_SEED", 1);
    for (uint64_t seed = first; seed < first + walks; ++seed) {
        const contract::WalkResult result = contract::RunSeededWalk(seed, steps);
        if (!result.Disagreement.empty()) {
            std::string steps;
            for (const std::string& step : result.Steps) {
                steps += "\n  " + step;
            }
            ADD_FAILURE() << "seed " << seed << ": " << result.Disagreement << "\nin "
                          << result.Steps.size() << " steps:" << steps;
            return;
        }
    }
}

} // namespace
