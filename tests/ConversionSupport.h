#pragma once
// Arrays returned by GetData belong to the caller and go back with free.

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <vector>

namespace lmxtest {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using Owned = std::unique_ptr<T[], FreeDeleter>;

template <class T>
std::vector<T> contents(const Owned<T>& data, std::size_t n) {
    return std::vector<T>(data.get(), data.get() + n);
}

}  // namespace lmxtest
