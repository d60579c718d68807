// The plate road and the melt road of road_inputs.h, timed side by side for
// one or more builds of the library loaded into the same process, or run
// once for an instruction count under callgrind.
//
//   bench_roads [--seconds S] [--road melt|plate] [--json] LABEL=LIBRARY...
//   bench_roads --count melt|plate LIBRARY
//
// Timing alternates the builds in short rounds (a few milliseconds of one
// road each, the order turning every round), so that a load that comes and
// goes weighs on all of them alike; each figure is the median over the
// rounds of the thread's CPU time per road, and each ratio the median of the
// per-round ratios to the first build. --count runs the road once to warm up
// (lazy binding, first touches) and once inside roads_counted_road, which
// callgrind counts alone with --toggle-collect=roads_counted_road.
//
// The builds are opened with dlopen by path, each a separate copy whatever
// its soname, and called through the public C interface only; the interface
// has not changed since the first build worth comparing.
#include <dlfcn.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "road_inputs.h"

namespace {

// The exports the roads call, looked up in one build.
struct Api {
    std::string label;
    std::string path;
    decltype(&alg_darray_release) darray_release;
    decltype(&alg_melting) melting;
    decltype(&alg_mgf_create) mgf_create;
    decltype(&alg_mgf_release) mgf_release;
    decltype(&alg_mgf_local_max_value_id) local_max;
    decltype(&alg_mgf_solve) mgf_solve;
    decltype(&alg_mgf_coeff_filter) coeff_filter;
    decltype(&alg_get_gausscoeff_data) get_coeff;
    decltype(&alg_gausscoeff_release) coeff_release;
    decltype(&alg_calc_threshold) calc_threshold;
    decltype(&alg_linear_batch_calc_ct) linear_ct;
    decltype(&alg_sigmoid_batch_calc_ct) sigmoid_ct;
};

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "bench_roads: %s\n", what.c_str());
    std::exit(2);
}

template <typename F>
void bind(void* library, const std::string& path, const char* name, F& slot) {
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) die(path + " has no " + name);
    slot = reinterpret_cast<F>(symbol);
}

Api open_build(const std::string& label, const std::string& path) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) die(std::string("cannot open ") + path + ": " + dlerror());
    Api a;
    a.label = label;
    a.path = path;
    bind(library, path, "alg_darray_release", a.darray_release);
    bind(library, path, "alg_melting", a.melting);
    bind(library, path, "alg_mgf_create", a.mgf_create);
    bind(library, path, "alg_mgf_release", a.mgf_release);
    bind(library, path, "alg_mgf_local_max_value_id", a.local_max);
    bind(library, path, "alg_mgf_solve", a.mgf_solve);
    bind(library, path, "alg_mgf_coeff_filter", a.coeff_filter);
    bind(library, path, "alg_get_gausscoeff_data", a.get_coeff);
    bind(library, path, "alg_gausscoeff_release", a.coeff_release);
    bind(library, path, "alg_calc_threshold", a.calc_threshold);
    bind(library, path, "alg_linear_batch_calc_ct", a.linear_ct);
    bind(library, path, "alg_sigmoid_batch_calc_ct", a.sigmoid_ct);
    return a;
}

// What a road found, to check that every build did the same job.
struct Outcome {
    bool ok = false;
    std::vector<double> values;  // melt: the kept peaks' centres; plate: threshold, then the count of linear Ct
};

const road_inputs::MeltWell& melt_well() {
    static const road_inputs::MeltWell well = road_inputs::synthetic_melt_well();
    return well;
}

const road_inputs::Plate& plate() {
    static const road_inputs::Plate p = road_inputs::padded_plate(QUELMARALG_DATA_DIR "/reps384.csv");
    return p;
}

// The melt road as a host runs it: -dF/dT, a fit handle, detection, fit,
// filter, the kept coefficients read out, everything released.
Outcome melt_road(const Api& api) {
    const road_inputs::MeltWell& w = melt_well();
    Outcome out;
    size_t count = 0;
    double* grid = nullptr;
    double* derivative = nullptr;
    if (api.melting(w.temperature.size(), w.temperature.data(), w.fluorescence.data(), &count, &grid,
                    &derivative) != ALG_OK)
        return out;
    const MgfOptions options{0.0, 0.0, road_inputs::kMeltPeakWidth, 0.0, 0.0};
    MgfHandle* handle = nullptr;
    const int created = api.mgf_create(grid, count, derivative, count, &options, &handle);
    api.darray_release(&grid);
    api.darray_release(&derivative);
    if (created != ALG_OK) return out;
    GaussCoeff* start = nullptr;
    GaussCoeff* kept = nullptr;
    if (api.local_max(handle, &start) == ALG_OK && api.mgf_solve(handle, start) == ALG_OK &&
        api.coeff_filter(road_inputs::kMeltFilter, start, &kept) == ALG_OK) {
        size_t na = 0, nb = 0, nc = 0;
        double *a = nullptr, *b = nullptr, *c = nullptr;
        if (api.get_coeff(kept, &na, &a, &nb, &b, &nc, &c) == ALG_OK) {
            out.ok = true;
            if (b != nullptr) out.values.assign(b, b + nb);
            api.darray_release(&a);
            api.darray_release(&b);
            api.darray_release(&c);
        }
    }
    api.coeff_release(&kept);
    api.coeff_release(&start);
    api.mgf_release(&handle);
    return out;
}

// The plate road as a host runs it: fresh records, the plate threshold, the
// linear and the sigmoid Ct of every well.
Outcome plate_road(const Api& api) {
    const road_inputs::Plate& p = plate();
    const std::size_t wells = road_inputs::kPlateWells;
    std::vector<FittingResult> records(wells);
    std::memset(records.data(), 0, records.size() * sizeof(FittingResult));
    std::vector<double> curves(wells * p.cycles);
    std::vector<double> linear(wells);
    std::vector<double> sigmoid(wells);
    Outcome out;
    double threshold = 0.0;
    if (api.calc_threshold(records.data(), wells, p.data.data(), wells, p.cycles, &threshold) != ALG_OK ||
        api.linear_ct(records.data(), wells, threshold, p.data.data(), wells, p.cycles, curves.data(),
                      linear.data()) != ALG_OK ||
        api.sigmoid_ct(records.data(), wells, p.cycles, sigmoid.data()) != ALG_OK)
        return out;
    out.ok = true;
    out.values.push_back(threshold);
    out.values.push_back(static_cast<double>(std::count_if(linear.begin(), linear.end(),
                                                           [](double ct) { return !std::isnan(ct); })));
    return out;
}

using Road = Outcome (*)(const Api&);

struct RoadInfo {
    const char* name;
    Road run;
    const char* unit;
    double scale;  // seconds to the unit
};

const RoadInfo kRoads[] = {
    {"plate", plate_road, "ms", 1e3},
    {"melt", melt_road, "us", 1e6},
};

double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// Seconds of one road in one round, per road.
double time_round(const RoadInfo& road, const Api& api, int repeats) {
    const double start = thread_seconds();
    for (int i = 0; i < repeats; ++i) road.run(api);
    return (thread_seconds() - start) / repeats;
}

constexpr double kRoundSeconds = 0.01;  // of one build in one round
constexpr int kFewestRounds = 5;

struct Figures {
    std::vector<double> per_road;  // median seconds per build
    std::vector<double> ratio;     // median per-round ratio to the first build
    int rounds = 0;
    int repeats = 0;
};

Figures time_road(const RoadInfo& road, const std::vector<Api>& builds, double budget) {
    const double once = std::max(time_round(road, builds[0], 1), 1e-7);
    const int repeats = std::max(1, static_cast<int>(kRoundSeconds / once));
    std::vector<std::vector<double>> times(builds.size());
    std::vector<std::vector<double>> ratios(builds.size());
    const double start = thread_seconds();
    int rounds = 0;
    while (rounds < kFewestRounds || thread_seconds() - start < budget) {
        std::vector<double> round(builds.size());
        for (std::size_t k = 0; k < builds.size(); ++k) {
            const std::size_t b = (k + static_cast<std::size_t>(rounds)) % builds.size();
            round[b] = time_round(road, builds[b], repeats);
        }
        for (std::size_t b = 0; b < builds.size(); ++b) {
            times[b].push_back(round[b]);
            ratios[b].push_back(round[b] / round[0]);
        }
        ++rounds;
    }
    Figures f;
    f.rounds = rounds;
    f.repeats = repeats;
    for (std::size_t b = 0; b < builds.size(); ++b) {
        f.per_road.push_back(median(times[b]));
        f.ratio.push_back(median(ratios[b]));
    }
    return f;
}

std::string describe(const RoadInfo& road, const Outcome& o) {
    if (!o.ok) return "failed";
    char text[160];
    if (std::strcmp(road.name, "melt") == 0) {
        std::string s = std::to_string(o.values.size()) + " peaks at";
        for (double c : o.values) {
            std::snprintf(text, sizeof text, " %.3f", c);
            s += text;
        }
        return s;
    }
    std::snprintf(text, sizeof text, "threshold %.2f, %d wells with a linear Ct", o.values[0],
                  static_cast<int>(o.values[1]));
    return text;
}

// Counted alone by callgrind (--toggle-collect=roads_counted_road).
extern "C" __attribute__((noinline)) int roads_counted_road(const RoadInfo* road, const Api* api) {
    return road->run(*api).ok ? 0 : 1;
}

const RoadInfo& road_named(const char* name) {
    for (const RoadInfo& r : kRoads)
        if (std::strcmp(r.name, name) == 0) return r;
    die(std::string("no road named ") + name + " (melt or plate)");
}

int usage() {
    std::fprintf(stderr,
                 "usage: bench_roads [--seconds S] [--road melt|plate] [--json] LABEL=LIBRARY...\n"
                 "       bench_roads --count melt|plate LIBRARY\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 3.0;
    bool json = false;
    const char* only = nullptr;
    std::vector<Api> builds;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--count" && i == 1 && argc == 4) {
            const RoadInfo& road = road_named(argv[i + 1]);
            const Api api = open_build("counted", argv[i + 2]);
            road.run(api);  // warm-up, outside the count
            return roads_counted_road(&road, &api);
        } else if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (arg == "--road" && i + 1 < argc) {
            only = road_named(argv[++i]).name;
        } else if (arg == "--json") {
            json = true;
        } else if (arg.find('=') != std::string::npos && arg[0] != '-') {
            const std::size_t eq = arg.find('=');
            builds.push_back(open_build(arg.substr(0, eq), arg.substr(eq + 1)));
        } else {
            return usage();
        }
    }
    if (builds.empty() || !(seconds >= 0.0)) return usage();

    int status = 0;
    bool first = true;
    if (json) std::printf("{");
    for (const RoadInfo& road : kRoads) {
        if (only != nullptr && std::strcmp(only, road.name) != 0) continue;
        std::vector<Outcome> outcomes;
        for (const Api& api : builds) {
            outcomes.push_back(road.run(api));
            if (!outcomes.back().ok) status = 1;
        }
        const Figures f = time_road(road, builds, seconds);
        if (json) {
            std::printf("%s\"%s\": {\"rounds\": %d, \"repeats\": %d, \"builds\": [", first ? "" : ", ", road.name,
                        f.rounds, f.repeats);
            for (std::size_t b = 0; b < builds.size(); ++b)
                std::printf("%s{\"label\": \"%s\", \"seconds\": %.9g, \"ratio\": %.6g, \"found\": \"%s\"}",
                            b == 0 ? "" : ", ", builds[b].label.c_str(), f.per_road[b], f.ratio[b],
                            describe(road, outcomes[b]).c_str());
            std::printf("]}");
        } else {
            std::printf("%s road: median thread CPU time per road over %d rounds of %d\n", road.name, f.rounds,
                        f.repeats);
            for (std::size_t b = 0; b < builds.size(); ++b)
                std::printf("  %-12s %10.3f %s  x%.3f  %s\n", builds[b].label.c_str(), f.per_road[b] * road.scale,
                            road.unit, f.ratio[b], describe(road, outcomes[b]).c_str());
        }
        first = false;
    }
    if (json) std::printf("}\n");
    return status;
}
