// Connected-component labelling over runs: the steps and the strips that run them in parallel.

#include "lumerix/LabelRuns.h"

#include "cmm/cmmReclaim.h"
#include "platform/HostMemory.h"
#include "runtime/Backend.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace lmx::labelling {

namespace {

// ---- working tables ----------------------------------------------------------------------------

long failAt = 0;  // the allocation that fails, counted down; 0: none

// An uninitialised table of n entries: the reserved run ranges are only touched where runs are.
// Large tables are backed by huge pages where the system allows, since a fresh table costs a
// page fault per page touched, and faults are what the tables' first use costs most.
template <class T>
Table<T> allocateTable(std::size_t n) {
    if (failAt > 0 && --failAt == 0) throw std::bad_alloc();
    T* p = static_cast<T*>(allocateHost((n > 0 ? n : 1) * sizeof(T)));
    if (!p) throw std::bad_alloc();
    return Table<T>(p);
}

// ---- the mask, 64 pixels at a time -------------------------------------------------------------

constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
// Multiplying the low bits of the eight bytes by this gathers them into the top byte, byte k's
// bit landing at bit 56 + k; no two partial products overlap, so nothing carries.
constexpr std::uint64_t kGather = 0x0102040810204080ULL;

// Bit k set where byte k of the 8 bytes at p is zero (foreground).
inline std::uint64_t zeroBytes8(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    const std::uint64_t nonzero = (((v & kLow7) + kLow7) | v) & kHigh;
    return ~(((nonzero >> 7) * kGather) >> 56) & 0xFF;
}

// Bit k set where pixel k of the n <= 64 pixels at p is foreground.
inline std::uint64_t foregroundBits(const unsigned char* p, int n) {
    std::uint64_t bits = 0;
    int k = 0;
    for (; k + 8 <= n; k += 8) bits |= zeroBytes8(p + k) << k;
    for (; k < n; ++k) bits |= static_cast<std::uint64_t>(p[k] == 0) << k;
    return bits;
}

inline int lowestBit(std::uint64_t bits) {
    return __builtin_ctzll(bits);
}

// ---- union-find ---------------------------------------------------------------------------------

// The root of x, halving the path on the way (entries keep pointing to smaller indices).
inline std::int32_t findRoot(std::int32_t* parent, std::int32_t x) {
    while (parent[x] != x) {
        parent[x] = parent[parent[x]];
        x = parent[x];
    }
    return x;
}

// Joins the trees of two roots; the smaller root wins. Returns the surviving root.
inline std::int32_t uniteRoots(std::int32_t* parent, std::int32_t a, std::int32_t b) {
    if (a < b) {
        parent[b] = a;
        return a;
    }
    parent[a] = b;
    return b;
}

// Calls touch(c, p) for every run c of [cb, ce) and every run p of [pb, pe) (the row above)
// whose columns overlap c's widened by `reach` on each side, in order, and done(c) after each c.
// Both rows are sorted by column, so one window moves along the row above: linear in the runs
// of both rows. The widened ends are 64-bit: a run may end at a width of INT_MAX.
template <class Touch, class Done>
inline void forEachTouch(const Run* runs, std::int32_t pb, std::int32_t pe, std::int32_t cb,
                         std::int32_t ce, int reach, Touch touch, Done done) {
    std::int32_t j = pb;
    for (std::int32_t c = cb; c < ce; ++c) {
        const Run run = runs[c];
        const std::int64_t from = static_cast<std::int64_t>(run.start) - reach;
        const std::int64_t to = static_cast<std::int64_t>(run.end) + reach;
        while (j < pe && runs[j].end <= from) ++j;
        std::int32_t k = j;
        for (; k < pe && runs[k].start < to; ++k) touch(c, k);
        done(c);
        // The last run that touched c may reach past it into the next run of this row.
        if (k > j) j = k - 1;
    }
}

// ---- running the strips -------------------------------------------------------------------------

// Calls work(s) for s = 0 ... count - 1, in parallel, on the backend's threads.
template <class Work>
void onStrips(int count, Work work) {
    if (count <= 1) {
        if (count == 1) work(0);
        return;
    }
    parallelFor(count, work);
}

// Strips for a plane: one per core, each of at least kMinRows rows; small planes in one.
int chooseStrips(int width, int height) {
    constexpr long long kMinPixels = 1 << 16;
    constexpr int kMinRows = 16;
    if (static_cast<long long>(width) * height < kMinPixels) return 1;
    const int cores = hostThreads();
    return std::max(1, std::min({cores, 64, height / kMinRows}));
}

// The tables kept between labellings; one labelling at a time borrows them.
std::mutex idleMutex;
Tables idle;

Tables takeTables(Tables& from) {
    Tables t = std::move(from);
    from.runCapacity = from.rowCapacity = 0;
    return t;
}

// Tables for `runs` runs and `rows` rows: the idle ones when they are large enough, else new.
Tables acquireTables(std::size_t runs, std::size_t rows) {
    Tables tooSmall;
    {
        std::lock_guard<std::mutex> lock(idleMutex);
        if (idle.runs && idle.runCapacity >= runs && idle.rowCapacity >= rows)
            return takeTables(idle);
        tooSmall = takeTables(idle);
    }
    tooSmall = Tables();  // released before the new ones are allocated
    Tables t;
    t.runs = allocateTable<Run>(runs);
    t.parent = allocateTable<std::int32_t>(runs);
    t.rowEnd = allocateTable<std::int32_t>(rows);
    t.runCapacity = runs;
    t.rowCapacity = rows;
    return t;
}

// Keeps the larger of the idle tables and these.
void giveBackTables(Tables& t) {
    if (!t.runs) return;
    Tables dropped;
    std::lock_guard<std::mutex> lock(idleMutex);
    if (!idle.runs || idle.runCapacity < t.runCapacity || idle.rowCapacity < t.rowCapacity) {
        dropped = takeTables(idle);
        idle = takeTables(t);
    }
}

}  // namespace

bool releaseIdleTables() {
    Tables dropped;
    std::lock_guard<std::mutex> lock(idleMutex);
    dropped = takeTables(idle);
    return dropped.runs != nullptr;
}

void FreeTable::operator()(void* p) const {
    std::free(p);
}

void failTableAllocation(long nth) {
    failAt = nth > 0 ? nth : 0;
}

// ---- the steps ---------------------------------------------------------------------------------

void findRuns(const unsigned char* background, int width, Strip& strip, Tables& tables) {
    Run* runs = tables.runs.get();
    std::int32_t* rowEnd = tables.rowEnd.get();
    std::int32_t starts = strip.base;  // next run whose start is written
    std::int32_t ends = strip.base;    // next run whose end is written
    for (int y = strip.firstRow; y < strip.endRow; ++y) {
        const unsigned char* row = background + static_cast<std::size_t>(y) * width;
        std::uint64_t carry = 0;  // whether the pixel before the current word is foreground
        // 64-bit column of the word: a width near the int range must not wrap past its end.
        for (std::int64_t col = 0; col < width; col += 64) {
            const int x0 = static_cast<int>(col);
            const int n = static_cast<int>(std::min<std::int64_t>(64, width - col));
            const std::uint64_t valid = n == 64 ? ~0ULL : (1ULL << n) - 1;
            const std::uint64_t fg = foregroundBits(row + x0, n);
            const std::uint64_t before = (fg << 1) | carry;  // bit k: pixel k - 1 foreground
            std::uint64_t rising = fg & ~before;
            std::uint64_t falling = ~fg & before & valid;
            carry = (fg >> (n - 1)) & 1;
            for (; rising; rising &= rising - 1) runs[starts++].start = x0 + lowestBit(rising);
            for (; falling; falling &= falling - 1) runs[ends++].end = x0 + lowestBit(falling);
        }
        if (carry) runs[ends++].end = width;
        rowEnd[y] = starts;
    }
    strip.count = starts - strip.base;
}

void joinRows(const Strip& strip, Tables& tables, int reach) {
    const Run* runs = tables.runs.get();
    std::int32_t* parent = tables.parent.get();
    const std::int32_t* rowEnd = tables.rowEnd.get();
    if (strip.firstRow >= strip.endRow) return;
    for (std::int32_t i = strip.base; i < rowEnd[strip.firstRow]; ++i) parent[i] = i;
    for (int y = strip.firstRow + 1; y < strip.endRow; ++y) {
        // A run of this row is new: it starts as its own root, and every run above that it
        // touches merges into the smallest root among them. Its index exceeds every index of
        // the row above, so it never wins.
        const std::int32_t first = strip.rowBegin(y, rowEnd);
        std::int32_t root = first;
        forEachTouch(
            runs, strip.rowBegin(y - 1, rowEnd), rowEnd[y - 1], first, rowEnd[y], reach,
            [&](std::int32_t c, std::int32_t p) {
                const std::int32_t r = findRoot(parent, p);
                if (root == c) {
                    root = r;
                } else if (r != root) {
                    root = uniteRoots(parent, root, r);
                }
            },
            [&](std::int32_t c) {
                parent[c] = root;
                root = c + 1;  // the next run starts as its own root
            });
    }
}

void joinSeam(const Strip& upper, const Strip& lower, Tables& tables, int reach) {
    if (upper.firstRow >= upper.endRow || lower.firstRow >= lower.endRow) return;
    const std::int32_t* rowEnd = tables.rowEnd.get();
    std::int32_t* parent = tables.parent.get();
    const int above = upper.endRow - 1;
    forEachTouch(
        tables.runs.get(), upper.rowBegin(above, rowEnd), rowEnd[above], lower.base,
        rowEnd[lower.firstRow], reach,
        [&](std::int32_t c, std::int32_t p) {
            const std::int32_t rc = findRoot(parent, c);
            const std::int32_t rp = findRoot(parent, p);
            if (rc != rp) uniteRoots(parent, rc, rp);
        },
        [](std::int32_t) {});
}

std::int64_t number(const Strip* strips, int stripCount, Tables& tables) {
    std::int32_t* parent = tables.parent.get();
    const auto count = static_cast<std::size_t>(std::max(stripCount, 0));
    // The roots of each strip, counted in parallel, fix where each strip's numbers start.
    std::vector<std::int32_t> first(count), waiting(count), firstWaiting(count);
    onStrips(stripCount, [&](int s) {
        std::int32_t roots = 0;
        for (std::int32_t i = strips[s].base; i < strips[s].base + strips[s].count; ++i)
            roots += parent[i] == i;
        first[s] = roots;
    });
    std::int32_t k = 0;
    for (std::size_t s = 0; s < count; ++s) k += std::exchange(first[s], k);
    // Each strip numbers its entries in ascending order, reading only its own: an entry becomes
    // its number before any later one reads it (a root's is the strip's next number, any
    // other's what its smaller entry holds). An entry whose forest leads into an earlier strip,
    // which another thread may be rewriting, is marked with that entry instead (-1 - index).
    onStrips(stripCount, [&](int s) {
        const std::int32_t base = strips[s].base;
        const std::int32_t end = base + strips[s].count;
        std::int32_t next = first[s], marked = 0, firstMarked = end;
        for (std::int32_t i = base; i < end; ++i) {
            const std::int32_t p = parent[i];
            parent[i] = p == i ? ++next : p >= base ? parent[p] : -1 - p;
            if (parent[i] < 0) {
                firstMarked = marked == 0 ? i : firstMarked;
                ++marked;
            }
        }
        waiting[s] = marked;
        firstWaiting[s] = firstMarked;
    });
    // Marks point into earlier strips, whose entries are all numbers by the time a strip's turn
    // comes. They are few: only components that cross a seam have them.
    for (std::size_t s = 1; s < count; ++s)
        for (std::int32_t i = firstWaiting[s], left = waiting[s]; left > 0; ++i)
            if (parent[i] < 0) {
                parent[i] = parent[-1 - parent[i]];
                --left;
            }
    return k;
}

namespace {

// Fills [from, to) of a row with value. A short range is written as one block of kAhead
// entries, running past `to` where the row allows: gaps and runs are painted left to right, so
// whatever lies past `to` is painted again afterwards, and most runs and gaps are short.
template <class T>
inline void fillAhead(T* row, int from, int to, T value, int width) {
    constexpr int kAhead = 8;
    if (to - from <= kAhead && from + kAhead <= width) {
        for (int k = 0; k < kAhead; ++k) row[from + k] = value;
    } else {
        for (int x = from; x < to; ++x) row[x] = value;
    }
}

}  // namespace

template <class T>
void paint(const Strip& strip, int width, const Tables& tables, T* plane) {
    const Run* runs = tables.runs.get();
    const std::int32_t* numbers = tables.parent.get();
    const std::int32_t* rowEnd = tables.rowEnd.get();
    for (int y = strip.firstRow; y < strip.endRow; ++y) {
        T* row = plane + static_cast<std::size_t>(y) * width;
        std::int32_t x = 0;
        for (std::int32_t i = strip.rowBegin(y, rowEnd); i < rowEnd[y]; ++i) {
            const Run run = runs[i];
            fillAhead(row, x, run.start, T(0), width);
            fillAhead(row, run.start, run.end, static_cast<T>(numbers[i]), width);
            x = run.end;
        }
        std::fill(row + x, row + width, T(0));
    }
}

// ---- the whole labelling -----------------------------------------------------------------------

RunLabelling::RunLabelling(const unsigned char* background, int width, int height, int strips,
                           int connectivity)
    : width_(width), height_(height) {
    const int reach = reachOf(connectivity);
    if (width <= 0 || height <= 0) return;
    stripCount_ = std::min(strips > 0 ? strips : chooseStrips(width, height), height);
    const std::int64_t perRow = maxRunsPerRow(width);
    const std::size_t capacity = static_cast<std::size_t>(perRow * height);
    if (kDeviceMemoryIsHost) {
        static const bool registered = (registerDeviceCache(&releaseIdleTables), true);
        (void)registered;
    }
    strips_ = allocateTable<Strip>(static_cast<std::size_t>(stripCount_));
    tables_ = acquireTables(capacity, static_cast<std::size_t>(height));
    for (int s = 0; s < stripCount_; ++s) {
        Strip& strip = strips_[s];
        strip.firstRow = static_cast<int>(static_cast<std::int64_t>(height) * s / stripCount_);
        strip.endRow = static_cast<int>(static_cast<std::int64_t>(height) * (s + 1) / stripCount_);
        strip.base = static_cast<std::int32_t>(perRow * strip.firstRow);
        strip.count = 0;
    }
    onStrips(stripCount_, [&](int s) {
        findRuns(background, width, strips_[s], tables_);
        joinRows(strips_[s], tables_, reach);
    });
    for (int s = 1; s < stripCount_; ++s) joinSeam(strips_[s - 1], strips_[s], tables_, reach);
    components_ = number(strips_.get(), stripCount_, tables_);
}

RunLabelling::~RunLabelling() {
    giveBackTables(tables_);
}

template <class T>
void RunLabelling::paint(T* plane) const {
    onStrips(stripCount_, [&](int s) { labelling::paint(strips_[s], width_, tables_, plane); });
}

template void RunLabelling::paint(unsigned char*) const;
template void RunLabelling::paint(unsigned short*) const;
template void RunLabelling::paint(float*) const;

}  // namespace lmx::labelling
