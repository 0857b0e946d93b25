// What every fuzz target needs before its first input: an initialised ORB, and a bound on image
// allocations so that one input cannot make a run slow.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>

namespace fuzzsupport {

// The largest single OpenCV image buffer an input may allocate. Sizes above it stay valid inputs
// (every check before the allocation still runs); the allocation itself throws OverBudget.
constexpr std::size_t kImageBudgetBytes = 1u << 20;

struct OverBudget {};

// Initialises the ORB (omniORB's CDR streams take their code sets from it) and installs the
// bounded image allocator. Call once, from LLVMFuzzerInitialize.
void init();

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
    std::abort();
}

}  // namespace fuzzsupport

// An assert that stays in optimised builds: a broken invariant is a finding.
#define FUZZ_CHECK(cond) \
    ((cond) ? static_cast<void>(0) : ::fuzzsupport::fail(#cond, __FILE__, __LINE__))
