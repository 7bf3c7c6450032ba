#include "sessions/flowmap.hh"

#include <random>

uint64_t flowmap_detail::random_seed() {
    static thread_local std::mt19937_64 gen{std::random_device{}()};
    return gen();
}
