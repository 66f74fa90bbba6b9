// Times every step of the listener's per-message path beside its plain baseline, in the same
// binary and the same run, and prints how many times faster each step is. Nothing is timed
// unless every step first gives exactly what its baseline gives.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ext/stdio_filebuf.h>
#include <functional>
#include <iomanip>
#include <map>
#include <ostream>
#include <string>
#include <unistd.h>
#include <vector>

#include "baselines.h"
#include "bench_checks.h"
#include "bench_inputs.h"
#include "descriptions/description_loader.h"
#include "descriptions/pgn_table.h"
#include "output/field_decoder.h"
#include "output/json_record.h"
#include "output/output_stream.h"
#include "output/raw_line.h"
#include "reassembly/fast_packet.h"

namespace
{

using writer = void (*)(uint32_t, uint8_t, int32_t, const uint8_t *);

// What the table holds now; the benchmarks run in any order, and each sets up its own.
enum class table_kind { none, json, lookup, fast_packet };
table_kind loaded = table_kind::none;

void use_table(table_kind kind)
{
    if (loaded == kind)
        return;
    if (kind == table_kind::json) {
        load_text(json_description_text());
    } else if (kind == table_kind::fast_packet) {
        load_text("[PGN_129029]\nfast_packet = yes\n");
    } else {
        clear_table();
        for (uint32_t pgn : lookup_table_pgns())
            (void)append_entry(pgn);
    }
    loaded = kind;
}

void time_writer(benchmark::State &state, writer write, uint32_t pgn, int32_t length)
{
    if (write == print_json_record || write == printf_json_record)
        use_table(table_kind::json);
    std::vector<uint8_t> payload = sample_payload(length);

    for (auto _ : state)
        write(pgn, 35, length, payload.data());
    state.SetItemsProcessed(state.iterations());
}

// Each iteration decodes at another offset of a random payload, so that both signs occur.
// One frame per iteration, with open_messages messages of 9 bytes (two frames each) in
// progress from as many sources: every frame 0 opens a message and every frame 1 completes one.
void time_reassembly(benchmark::State &state, int open_messages)
{
    use_table(table_kind::fast_packet);
    drop_unfinished_messages();
    std::vector<std::array<uint8_t, 8>> frames;
    for (int counter = 0; counter < 2; counter++) {
        for (int source = 0; source < open_messages; source++)
            frames.push_back({static_cast<uint8_t>(0x20 | counter), 9, 1, 2, 3, 4, 5, 6});
    }

    std::size_t at = 0;
    int whole = 0;
    for (auto _ : state) {
        assembled_message message;
        uint8_t source = static_cast<uint8_t>(at % static_cast<std::size_t>(open_messages));
        whole += assemble_message(129029, source, 8, frames[at].data(), &message);
        at = at + 1 == frames.size() ? 0 : at + 1;
    }
    benchmark::DoNotOptimize(whole);
    state.SetItemsProcessed(state.iterations());
}

void time_decoder(benchmark::State &state, bool literal, int length)
{
    std::vector<uint8_t> payload = check_payloads().back();
    field_spec field{};
    field.type = 's';
    field.length = length;
    field.scale = 0.0001;
    field.offset = -1.5;

    int32_t start = 0;
    for (auto _ : state) {
        field.start = start;
        start = (start + 1) & 255;
        if (literal) {
            double value;
            benchmark::DoNotOptimize(literal_decode_field(payload.data(), field, &value));
            benchmark::DoNotOptimize(value);
        } else {
            benchmark::DoNotOptimize(decode_field(payload.data(), field));
        }
    }
    state.SetItemsProcessed(state.iterations());
}

constexpr uint32_t LOOKUP_MISSING_PGN = 127250;

void time_lookup(benchmark::State &state, const pgn_entry *(*find)(uint32_t), uint32_t pgn)
{
    use_table(table_kind::lookup);
    if (pgn == LOOKUP_MISSING_PGN && find(pgn) != nullptr) {
        state.SkipWithError("the missing PGN is in the table");
        return;
    }

    for (auto _ : state) {
        benchmark::DoNotOptimize(pgn);
        benchmark::DoNotOptimize(find(pgn));
    }
    state.SetItemsProcessed(state.iterations());
}

void time_loader(benchmark::State &state, void (*load)(FILE *))
{
    std::string text = full_description_text();
    loaded = table_kind::none;

    for (auto _ : state) {
        clear_table();
        FILE *file = text_stream(text);
        load(file);
        std::fclose(file);
    }
    state.SetItemsProcessed(state.iterations());
}

void listener_load(FILE *file)
{
    (void)load_descriptions_from(file);
}

// A step of the listener and its baseline; the speed-up is the baseline's time over the
// listener's. A target, where there is one, is the least speed-up accepted.
struct pairing {
    std::string listener;
    std::string baseline;
    double target;
};
std::vector<pairing> pairings;

void add_pair(const std::string &listener, const std::string &baseline, double target,
              const std::function<void(benchmark::State &)> &time_listener,
              const std::function<void(benchmark::State &)> &time_baseline)
{
    benchmark::RegisterBenchmark(listener.c_str(), time_listener);
    benchmark::RegisterBenchmark(baseline.c_str(), time_baseline);
    pairings.push_back({listener, baseline, target});
}

void register_benchmarks()
{
    for (int32_t length : {0, 8, 223, 4096}) {
        std::string size = "/" + std::to_string(length);
        add_pair(
            "print_raw_line" + size, "printf_raw_line" + size, length == 8 ? 8.0 : 0.0,
            [=](benchmark::State &s) { time_writer(s, print_raw_line, TYPICAL_PGN, length); },
            [=](benchmark::State &s) { time_writer(s, printf_raw_line, TYPICAL_PGN, length); });
    }

    struct record {
        const char *name;
        uint32_t pgn;
        int32_t length;
        double target;
    };
    for (record r : {record{"typical", TYPICAL_PGN, TYPICAL_LENGTH, 4.0},
                     record{"full", FULL_PGN, FULL_LENGTH, 0.0}}) {
        std::string name = std::string("/") + r.name;
        add_pair(
            "print_json_record" + name, "printf_json_record" + name, r.target,
            [=](benchmark::State &s) { time_writer(s, print_json_record, r.pgn, r.length); },
            [=](benchmark::State &s) { time_writer(s, printf_json_record, r.pgn, r.length); });
    }

    for (int length : {8, 16, 32, 64}) {
        std::string bits = "/" + std::to_string(length);
        add_pair(
            "decode_field" + bits, "literal_decode_field" + bits, 0.0,
            [=](benchmark::State &s) { time_decoder(s, false, length); },
            [=](benchmark::State &s) { time_decoder(s, true, length); });
    }

    std::vector<uint32_t> table = lookup_table_pgns();
    struct lookup {
        const char *name;
        uint32_t pgn;
    };
    for (lookup l : {lookup{"first", table.front()}, lookup{"last", table.back()},
                     lookup{"missing", LOOKUP_MISSING_PGN}}) {
        std::string which = std::string("/") + l.name;
        add_pair(
            "find_entry" + which, "scan_find_entry" + which, 0.0,
            [=](benchmark::State &s) { time_lookup(s, find_entry, l.pgn); },
            [=](benchmark::State &s) { time_lookup(s, scan_find_entry, l.pgn); });
    }

    for (int open : {1, FAST_PACKET_SLOTS}) {
        std::string name = "assemble_message/" + std::to_string(open) + "_open";
        benchmark::RegisterBenchmark(name.c_str(),
                                     [=](benchmark::State &s) { time_reassembly(s, open); });
    }

    add_pair(
        "load_descriptions_from/256x16", "sscanf_load_descriptions/256x16", 0.0,
        [](benchmark::State &s) { time_loader(s, listener_load); },
        [](benchmark::State &s) { time_loader(s, sscanf_load_descriptions); });
}

// The console report, and beside it each benchmark's CPU time per iteration: the median of the
// repetitions when there are several.
class ratio_reporter : public benchmark::ConsoleReporter
{
  public:
    explicit ratio_reporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred)
                continue;
            double ns =
                run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
            std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians[name] = ns;
            else if (run.run_type == Run::RT_Iteration)
                samples[name].push_back(ns);
        }
    }

    // ns per iteration, or a negative number for a benchmark that did not run.
    double time_of(const std::string &name) const
    {
        auto median = medians.find(name);
        if (median != medians.end())
            return median->second;
        auto found = samples.find(name);
        if (found == samples.end() || found->second.empty())
            return -1;
        std::vector<double> sorted = found->second;
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    }

  private:
    std::map<std::string, double> medians;
    std::map<std::string, std::vector<double>> samples;
};

// Returns whether every target was met.
bool print_ratios(std::ostream &out, const ratio_reporter &reporter)
{
    bool all_met = true;

    out << "\nSpeed-up of the listener over its baseline (baseline CPU time / listener CPU time, "
           "same run):\n";
    for (const pairing &p : pairings) {
        double ours = reporter.time_of(p.listener);
        double theirs = reporter.time_of(p.baseline);
        if (ours <= 0 || theirs <= 0)
            continue;
        double ratio = theirs / ours;
        out << "  " << std::left << std::setw(32) << p.listener << std::setw(34) << p.baseline
            << std::right << std::fixed << std::setprecision(1) << std::setw(8) << ratio << "x";
        if (p.target > 0) {
            bool met = ratio >= p.target;
            all_met = all_met && met;
            out << "   target >= " << p.target << "x: " << (met ? "met" : "MISSED");
        }
        out << "\n";
    }

    double first = reporter.time_of("find_entry/first");
    double last = reporter.time_of("find_entry/last");
    if (first > 0 && last > 0) {
        double spread = std::max(first, last) / std::min(first, last);
        bool met = spread <= 2.0;
        all_met = all_met && met;
        out << "  " << std::left << std::setw(66) << "find_entry/last against find_entry/first"
            << std::right << std::setprecision(2) << std::setw(8) << spread
            << "x   target <= 2x apart: " << (met ? "met" : "MISSED") << "\n";
    }

    double alone = reporter.time_of("assemble_message/1_open");
    double busy =
        reporter.time_of("assemble_message/" + std::to_string(FAST_PACKET_SLOTS) + "_open");
    if (alone > 0 && busy > 0) {
        double spread = busy / alone;
        bool met = spread <= 2.0;
        all_met = all_met && met;
        out << "  " << std::left << std::setw(66) << "a frame with 64 messages open against one"
            << std::right << std::setprecision(2) << std::setw(8) << spread
            << "x   target <= 2x: " << (met ? "met" : "MISSED") << "\n";
    }
    return all_met;
}

bool has_flag(int argc, char **argv, const char *prefix)
{
    for (int i = 1; i < argc; i++) {
        if (std::strncmp(argv[i], prefix, std::strlen(prefix)) == 0)
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    // The report keeps the descriptor that standard output has now; what is timed writes to
    // /dev/null.
    int report_fd = dup(1);
    if (report_fd < 0) {
        std::perror("dup");
        return 1;
    }
    __gnu_cxx::stdio_filebuf<char> report_buffer(report_fd, std::ios::out);
    std::ostream report(&report_buffer);

    bool require_targets = false;
    std::vector<char *> args(argv, argv + argc);
    args.erase(std::remove_if(args.begin() + 1, args.end(),
                              [&](char *arg) {
                                  bool found = std::strcmp(arg, "--require-targets") == 0;
                                  require_targets = require_targets || found;
                                  return found;
                              }),
               args.end());
    std::string repetitions = "--benchmark_repetitions=5";
    std::string interleaving = "--benchmark_enable_random_interleaving=true";
    std::string aggregates = "--benchmark_display_aggregates_only=true";
    if (!has_flag(argc, argv, "--benchmark_repetitions")) {
        args.push_back(repetitions.data());
        args.push_back(interleaving.data());
        args.push_back(aggregates.data());
    }
    int arg_count = static_cast<int>(args.size());
    benchmark::Initialize(&arg_count, args.data());
    if (benchmark::ReportUnrecognizedArguments(arg_count, args.data()))
        return 1;

    report << "Checking that every step gives exactly what its baseline gives..." << std::endl;
    if (!check_fixed4() || !check_raw_lines() || !check_json_records() || !check_stored_texts() ||
        !check_decoding() || !check_lookups() || !check_loading())
        return 1;
    report << "All outputs equal, byte for byte." << std::endl;

    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::perror("/dev/null");
        return 1;
    }
    // As the listener does once its standard output is in place: on /dev/null, whose writes
    // never wait, the writers hold nothing back.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    hold_during_writes(stop_signals);

    register_benchmarks();
    ratio_reporter reporter(benchmark::ConsoleReporter::OO_Tabular);
    reporter.SetOutputStream(&report);
    reporter.SetErrorStream(&report);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    bool met = print_ratios(report, reporter);
    report.flush();
    benchmark::Shutdown();

    return require_targets && !met ? 1 : 0;
}
