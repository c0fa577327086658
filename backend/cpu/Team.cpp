// Host work of the operations above the runtime on the engine's team (runtime/Backend.h), and
// the work from which the engine wakes the team.

#include "backend/cpu/Control.h"
#include "backend/cpu/Engine.h"
#include "runtime/Backend.h"

#include <algorithm>
#include <climits>

namespace lmx::cpu {

SplitCosts::SplitCosts(int threads, double regionSeconds, double rate) : threads_(threads) {
    for (double& v : cost_.values) v = regionSeconds;
    for (double& v : rate_.values) v = rate;
    cost_.next = rate_.next = 0;
    update();
}

double SplitCosts::median(const Window& w) {
    double v[kSamples];
    std::copy(w.values, w.values + kSamples, v);
    std::nth_element(v, v + kSamples / 2, v + kSamples);
    return v[kSamples / 2];
}

void SplitCosts::add(Window& w, double value) {
    w.values[w.next] = value;
    w.next = (w.next + 1) % kSamples;
}

void SplitCosts::update() {
    if (threads_ <= 1) {
        threshold_ = LLONG_MAX;
        return;
    }
    // One thread alone must take longer than the region's cost times T / (T - 1).
    const double work = regionCost() * rate() * threads_ / (threads_ - 1);
    threshold_ =
        work >= 0x1p62 ? LLONG_MAX : std::max(kParallelThreshold, static_cast<long long>(work));
}

bool SplitCosts::probe(double now) {
    if (threads_ <= 1) return false;
    if (burst_ > 0) {
        --burst_;
        return true;
    }
    if (now < nextProbe_) return false;
    burst_ = kProbeBurst - 1;
    // Until the burst's first launch reports, no other burst starts.
    nextProbe_ = now + kProbeGap;
    return true;
}

void SplitCosts::alone(long long work, double seconds) {
    if (work <= 0 || !(seconds > 0)) return;
    add(rate_, static_cast<double>(work) / seconds);
    update();
}

void SplitCosts::split(long long work, int threads, double wall, double own, double end) {
    if (threads < 2 || work <= 0 || !(own > 0) || !(wall >= own)) return;
    add(rate_, static_cast<double>(work) / (own * threads));
    add(cost_, wall - own);
    update();
    nextProbe_ = end + std::max(kProbeGap, kProbeShare * regionCost());
}

namespace {

// What the learned costs start from, until the first timed launches: the pixels one thread
// streams through per second in a light pixel-wise pass (a + b, sum), and what a region costs
// where idle threads sleep. Nothing is timed at start: on a busy machine a region can take
// milliseconds, and the first launches past the least work are probes that measure it.
constexpr double kPixelsPerSecond = 4e9;
constexpr double kFirstRegionSeconds = 20e-6;

// The learned costs, made on first use.
struct Team {
    SplitCosts costs{teamSize(), kFirstRegionSeconds, kPixelsPerSecond};
    bool fixed = false;  // a threshold set by setParallelWork holds instead
    double lastSeen = 0;

    void publish() {
        if (!fixed) splitSetting.threshold = costs.threshold();
        splitSetting.timedFrom = fixed || teamSize() <= 1 ? LLONG_MAX : kParallelThreshold;
    }
};

Team& team() {
    static Team* t = [] {
        auto* made = new Team;  // never destroyed: launches may run during static destruction
        made->publish();
        return made;
    }();
    return *t;
}

}  // namespace

// Until the learned costs are made, every launch asks aloneOrProbe, which makes them.
SplitSetting splitSetting{LLONG_MAX, 0};

Run aloneOrProbe(long long work) {
    Team& t = team();
    if (omp_in_parallel()) return Run::Alone;  // a launch inside a region learns nothing
    // The first launch of the process has made the costs: it runs as the setting says.
    if (work < splitSetting.timedFrom || work >= splitSetting.threshold) return chooseRun(work);
    return t.costs.probe(t.lastSeen) ? Run::SplitTimed : Run::AloneTimed;
}

void learnAlone(long long work, double seconds) {
    Team& t = team();
    if (t.fixed || omp_in_parallel()) return;
    t.costs.alone(work, seconds);
    t.lastSeen = clockSeconds();
    t.publish();
}

void learnSplit(long long work, int threads, double wall, double own, double end) {
    Team& t = team();
    if (t.fixed || omp_in_parallel()) return;
    t.costs.split(work, threads, wall, own, end);
    t.lastSeen = end;
    t.publish();
}

SplitCosts splitCosts() {
    return team().costs;
}

void setSplitCosts(const SplitCosts& costs) {
    Team& t = team();
    t.costs = costs;
    t.publish();
}

long long parallelWork() {
    team();
    return splitSetting.threshold;
}

long long setParallelWork(long long work) {
    Team& t = team();
    const long long previous = splitSetting.threshold;
    t.fixed = true;
    splitSetting.threshold = work;
    t.publish();
    return previous;
}

void learnParallelWork() {
    Team& t = team();
    t.fixed = false;
    t.publish();
}

}  // namespace lmx::cpu

int lmx::hostThreads() {
    return cpu::teamSize();
}

// One item per thread, the items dealt round-robin as a static schedule of chunk 1 deals them.
// The callers hand over items worth a thread each, so the team is always woken for them.
void lmx::parallelFor(int count, void (*work)(void*, int), void* context) {
    cpu::parallelParts(count, cpu::kAlwaysSplit, [&](int id, int threads) {
        for (int i = id; i < count; i += threads) work(context, i);
    });
}
