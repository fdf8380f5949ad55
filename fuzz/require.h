#ifndef REQUIRE_H
#define REQUIRE_H

#include <cstdlib>

// Stops the fuzzer when a property of the code under test does not hold; libFuzzer then saves
// the input that broke it.
inline void Require(bool property)
{
    if (!property)
        std::abort();
}

#endif // REQUIRE_H
