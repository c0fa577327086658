#pragma once
// Connected-component labelling over a run-length encoding, on the host.
//
// The plane is cut into horizontal strips of whole rows. Each strip finds its runs and joins
// them row by row on its own thread; the seams between strips are joined afterwards, then one
// pass in raster order numbers the components and the strips paint them in parallel.
//
// Run indices are global and increase in raster order. Each strip owns the index range
// [base, base + its rows * the most runs a row can hold), so strips never share a table entry
// and no compaction is needed; the ranges are reserved, and only the entries used are touched.
// The equivalence table is a union-find forest in which the smaller root always wins: a root is
// therefore the first run of its component in raster order, and numbering the roots in
// ascending order numbers the components by their first run.

#include <cstddef>
#include <cstdint>
#include <memory>

namespace lmx::labelling {

//! A maximal horizontal run of foreground pixels: columns [start, end) of one row.
struct Run {
    std::int32_t start;
    std::int32_t end;
};

//! The most runs a row of the given width can hold (foreground and background alternating).
inline std::int64_t maxRunsPerRow(int width) {
    return (static_cast<std::int64_t>(width) + 1) / 2;
}

//! A band of rows [firstRow, endRow) and where its runs lie in the shared tables.
struct Strip {
    int firstRow = 0;
    int endRow = 0;
    std::int32_t base = 0;   // global index of the strip's first run
    std::int32_t count = 0;  // runs found in the strip

    //! Global index of the first run of row y (firstRow <= y < endRow), given rowEnd.
    std::int32_t rowBegin(int y, const std::int32_t* rowEnd) const {
        return y == firstRow ? base : rowEnd[y - 1];
    }
};

//! A working table: host memory from malloc, released with free.
struct FreeTable {
    void operator()(void* p) const;
};
template <class T>
using Table = std::unique_ptr<T[], FreeTable>;

//! Tables of one labelling; allocation failures throw std::bad_alloc.
struct Tables {
    Table<Run> runs;             // reserved capacity, indexed by global run index
    Table<std::int32_t> parent;  // equivalence forest, then component numbers
    Table<std::int32_t> rowEnd;  // per row: global index one past its last run
    std::size_t runCapacity = 0;
    std::size_t rowCapacity = 0;
};

// ---- the steps ---------------------------------------------------------------------------------

//! Finds the runs of the strip's rows in a mask whose foreground is where background[i] == 0
//! (row y starts at background + y * width); fills runs, rowEnd and strip.count.
void findRuns(const unsigned char* background, int width, Strip& strip, Tables& tables);

//! How far a run reaches sideways into the row above: 0 joins runs that share a column
//! (4-connectivity), 1 also runs that meet only at a corner (8-connectivity).
inline int reachOf(int connectivity) {
    return connectivity == 8 ? 1 : 0;
}

//! Joins each run with the runs of the row above that it touches (columns overlapping once
//! widened by `reach` on each side), within the strip; every run of the strip gets its parent
//! entry.
void joinRows(const Strip& strip, Tables& tables, int reach = 0);

//! Joins the first row of `lower` with the last row of `upper`, the strip just above it.
void joinSeam(const Strip& upper, const Strip& lower, Tables& tables, int reach = 0);

//! Replaces every entry by its component's number, 1 ... K in ascending order of the roots
//! (each component's first run in raster order); returns K. Entries always point to smaller
//! indices, so in one ascending pass the entry an entry points to already holds the number;
//! the strips take that pass in parallel, and only the entries of components that cross a seam
//! are finished afterwards, strip by strip.
std::int64_t number(const Strip* strips, int stripCount, Tables& tables);

//! Writes the strip's rows of a width-wide plane: each run's component number, 0 elsewhere.
template <class T>
void paint(const Strip& strip, int width, const Tables& tables, T* plane);

// ---- the whole labelling -----------------------------------------------------------------------

//! The 4- or 8-connected components of a width x height mask whose foreground is where
//! background[i] == 0, numbered 1 ... K in the raster order of their first runs.
class RunLabelling {
public:
    //! Labels the mask, cutting it into `strips` bands (0: as many as the machine has cores,
    //! fewer for small planes). The mask is read only during construction. `connectivity` is 4
    //! or 8 (any other value counts as 4; callers check it).
    RunLabelling(const unsigned char* background, int width, int height, int strips = 0,
                 int connectivity = 4);
    //! Keeps the tables for the next labelling (see releaseIdleTables).
    ~RunLabelling();
    RunLabelling(const RunLabelling&) = delete;
    RunLabelling& operator=(const RunLabelling&) = delete;

    //! The number of components K.
    std::int64_t components() const { return components_; }

    //! Writes the width x height plane of labels: component numbers, 0 for background. T must
    //! hold every number up to components().
    template <class T>
    void paint(T* plane) const;

private:
    int width_;
    int height_;
    int stripCount_ = 0;
    Table<Strip> strips_;
    Tables tables_;
    std::int64_t components_ = 0;
};

extern template void RunLabelling::paint(unsigned char*) const;
extern template void RunLabelling::paint(unsigned short*) const;
extern template void RunLabelling::paint(float*) const;

// ---- the tables between labellings -------------------------------------------------------------

//! The tables of the largest recent labelling stay allocated for the next one: fresh memory
//! costs a page fault per page on its first touch, several times the labelling itself. This
//! releases them; true when there were any. On the cpu backend, where they take from the same
//! memory as the device, the memory manager calls it before it reports the device full.
bool releaseIdleTables();

// ---- a fault point for tests -------------------------------------------------------------------

//! Makes the nth allocation of a working table from now on (1 = the next one) throw
//! std::bad_alloc; 0 clears it. Lets tests reach the failure path without exhausting memory.
void failTableAllocation(long nth);

}  // namespace lmx::labelling
