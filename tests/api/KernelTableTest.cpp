// The kernel table: every row is a kernel the backend can launch, under its own name and with its
// own parameter list, and the operations launch them in the shapes the table promises.

#include "TestSupport.h"

#include "kernels/Kernels.h"

#include <cstdlib>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

using namespace cmm;
using namespace lmxtest;

namespace {

struct KernelRow {
    const char* name;
    const void* function;
};

// Generated from the table itself, so a row added there is checked here without further work.
const KernelRow kRows[] = {
#define LMX_KERNEL_ROW(name, shape, params) {#name, reinterpret_cast<const void*>(&name)},
#include "kernels/KernelTable.def"
#undef LMX_KERNEL_ROW
};

// The kernels written out by hand: a row renamed or dropped from the table (the never-launched
// ones would not break any caller) shows up here.
std::vector<std::string> expectedNames() {
    std::vector<std::string> names;
    for (const char* op :
         {"Add", "Subt", "Mul", "Div", "Greater", "GreaterEqual", "Less", "LessEqual", "Equal",
          "And", "Or", "XOr", "BitAnd", "BitOr", "BitXor", "Max", "Min"})
        for (const char* form : {"II2I", "IF2I", "IF2I_swap"})
            names.push_back(std::string("LumerixPixel") + op + form);
    for (const char* name :
         {"Int8ToFloat", "FloatToInt8", "Int16ToFloat", "FloatToInt16", "FloatToInt32", "Merge3",
          "Split3", "SqrtI2I", "LogI2I", "AbsI2I", "NotI2I", "SumI2F", "MinI2F", "MaxI2F"})
        names.push_back(std::string("LumerixPixel") + name);
    names.push_back("histogram256Kernel");
    names.push_back("mergeHistogram256Kernel");
    for (const char* name : {"Erosion4I2I", "ErosionI2I", "Dilation4I2I", "DilationI2I",
                             "ConvolveID2I", "ConvolveIDD2I"})
        names.push_back(std::string("Lumerix") + name);
    for (const char* name : {"Shift", "Slice", "SliceInterp", "XX", "YY", "Affine", "Resize"})
        names.push_back(std::string("LumerixGeometric") + name);
    for (const char* name : {"FloatToComplex", "Deinterleave", "Interleave", "ComplexToFloat"})
        names.push_back(std::string("LumerixFFT") + name);
    for (const char* name : {"CorrelateBorderI2I", "CorrelateBorderIT2I", "CorrelateRowsIT2I",
                             "CorrelateColumnsIT2I", "MedianI2I"})
        names.push_back(std::string("Lumerix") + name);
    return names;
}

}  // namespace

TEST(KernelTable, NamesEveryKernelOnceAndEachExistsOnTheBackend) {
    std::set<std::string> names;
    std::set<const void*> functions;
    for (const KernelRow& row : kRows) {
        names.insert(row.name);
        functions.insert(row.function);
    }
    EXPECT_EQ(names.size(), std::size(kRows));
    EXPECT_EQ(functions.size(), std::size(kRows)) << "two rows share one function";
    for (const std::string& name : expectedNames()) EXPECT_EQ(names.count(name), 1u) << name;
}
