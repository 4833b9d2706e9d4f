// SPDX-License-Identifier: MIT
// Throughput of the codec's converters beside GLib's C-string escaping and
// memcpy, on the same inputs, in one run; ends with a table of ratios.
//
//   raw_text_to_kel  against g_strescape   (raw text in)
//   kel_text_to_raw  against g_strcompress (KEL text in)
//   c_text_to_kel    on its own            (C-literal text in)
//   memcpy of the raw text, the floor
//
// Bytes per second count the bytes of the input.  GLib's functions allocate
// their result; ours write into a buffer allocated once.  Each benchmark
// cycles through at least 1 MiB of different inputs of its size, so that no
// branch predictor learns one input by heart.
#include "textcodec.h"

#include <benchmark/benchmark.h>
#include <glib.h>

#include <stdio.h>
#include <string.h>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace
{

const char *const kinds[] = {"prose", "plain", "heavy"};
const size_t sizes[] = {64, 4096, 256 * 1024, 4 * 1024 * 1024};

// Raw 7-bit text of the given kind: prose-like text with a character that
// needs escaping about every 40 characters, plain text with none, or text
// in which half the characters need escaping.
std::string make_raw(const std::string &kind, size_t size)
{
    static const char words[] = "the quick brown fox jumps over a lazy dog and keeps running ";
    static const char specials[] = "/|\"\t\n";
    std::mt19937 rng(1208);
    std::uniform_int_distribution<int> word_at(0, (int)sizeof words - 2);
    std::uniform_int_distribution<int> special(0, (int)sizeof specials - 2);
    std::uniform_int_distribution<int> one_in_40(0, 39);
    std::uniform_int_distribution<int> coin(0, 1);
    bool prose = kind == "prose", heavy = kind == "heavy";

    std::string text;
    while (text.size() < size) {
        char ch = words[word_at(rng)];
        if ((prose && one_in_40(rng) == 0) || (heavy && coin(rng) == 0))
            ch = specials[special(rng)];
        text += ch;
    }
    return text;
}

std::string converted(int (*f)(char *, const char *, int), const std::string &in)
{
    int n = f(nullptr, in.c_str(), 0);
    std::string out((size_t)n + 1, '\0');
    f(&out[0], in.c_str(), n);
    out.resize((size_t)n);
    return out;
}

// The inputs of one kind and size, in their three forms.
struct Inputs {
    std::vector<std::string> raw;
    std::vector<std::string> kel;    // raw_text_to_kel of raw
    std::vector<std::string> c_text; // g_strescape of raw: valid C-literal text
    size_t next = 0;
};

const size_t POOL = 1024 * 1024;

Inputs make_inputs(const std::string &kind, size_t size)
{
    Inputs in;
    size_t count = size < POOL ? POOL / size : 1;
    std::string all = make_raw(kind, size * count);
    for (size_t k = 0; k < count; k++) {
        in.raw.push_back(all.substr(k * size, size));
        in.kel.push_back(converted(raw_text_to_kel, in.raw.back()));
        gchar *escaped = g_strescape(in.raw.back().c_str(), nullptr);
        in.c_text.push_back(escaped);
        g_free(escaped);
    }
    return in;
}

size_t longest(const std::vector<std::string> &texts)
{
    size_t n = 0;
    for (const std::string &t : texts)
        n = t.size() > n ? t.size() : n;
    return n;
}

// Runs body(input) over the pool, counting the bytes of each input.
template <class Body>
void over_pool(benchmark::State &state, const std::vector<std::string> &pool, Body body)
{
    size_t k = 0;
    int64_t bytes = 0;
    for (auto _ : state) {
        const std::string &in = pool[k];
        body(in);
        bytes += (int64_t)in.size();
        k = k + 1 == pool.size() ? 0 : k + 1;
    }
    state.SetBytesProcessed(bytes);
}

void run_converter(benchmark::State &state, int (*f)(char *, const char *, int),
                   const std::vector<std::string> &pool)
{
    std::vector<char> out(4 * longest(pool) + 1);
    over_pool(state, pool, [&](const std::string &in) {
        int n = f(out.data(), in.c_str(), (int)out.size() - 1);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    });
}

void register_all(std::map<std::string, Inputs> &inputs)
{
    for (const char *kind : kinds) {
        for (size_t size : sizes) {
            std::string key = std::string(kind) + "/" + std::to_string(size);
            Inputs &in = inputs[key] = make_inputs(kind, size);

            benchmark::RegisterBenchmark(("memcpy/" + key).c_str(), [&in](benchmark::State &s) {
                std::vector<char> out(longest(in.raw));
                over_pool(s, in.raw, [&](const std::string &text) {
                    memcpy(out.data(), text.data(), text.size());
                    benchmark::ClobberMemory();
                });
            });
            benchmark::RegisterBenchmark(
                ("raw_text_to_kel/" + key).c_str(),
                [&in](benchmark::State &s) { run_converter(s, raw_text_to_kel, in.raw); });
            benchmark::RegisterBenchmark(("g_strescape/" + key).c_str(),
                                         [&in](benchmark::State &s) {
                                             over_pool(s, in.raw, [](const std::string &text) {
                                                 gchar *out = g_strescape(text.c_str(), nullptr);
                                                 benchmark::DoNotOptimize(out);
                                                 g_free(out);
                                             });
                                         });
            benchmark::RegisterBenchmark(
                ("kel_text_to_raw/" + key).c_str(),
                [&in](benchmark::State &s) { run_converter(s, kel_text_to_raw, in.kel); });
            benchmark::RegisterBenchmark(("g_strcompress/" + key).c_str(),
                                         [&in](benchmark::State &s) {
                                             over_pool(s, in.kel, [](const std::string &text) {
                                                 gchar *out = g_strcompress(text.c_str());
                                                 benchmark::DoNotOptimize(out);
                                                 g_free(out);
                                             });
                                         });
            benchmark::RegisterBenchmark(
                ("c_text_to_kel/" + key).c_str(),
                [&in](benchmark::State &s) { run_converter(s, c_text_to_kel, in.c_text); });
        }
    }
}

// Keeps each benchmark's bytes per second for the table at the end.
class Collector : public benchmark::ConsoleReporter
{
  public:
    std::map<std::string, double> rate;
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs) {
            auto it = r.counters.find("bytes_per_second");
            if (it != r.counters.end())
                rate[r.benchmark_name()] = it->second;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

void print_table(const std::map<std::string, double> &rate)
{
    auto gbps = [&](const std::string &name) {
        auto it = rate.find(name);
        return it == rate.end() ? 0.0 : it->second / 1e9;
    };
    printf("\nThroughput in GB/s of input; ratios measured in this run\n\n");
    printf("| input | size | memcpy | raw_text_to_kel | g_strescape | ratio | of memcpy |"
           " kel_text_to_raw | g_strcompress | ratio | c_text_to_kel |\n");
    printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const char *kind : kinds) {
        for (size_t size : sizes) {
            std::string key = std::string(kind) + "/" + std::to_string(size);
            double copy = gbps("memcpy/" + key), enc = gbps("raw_text_to_kel/" + key);
            double genc = gbps("g_strescape/" + key), dec = gbps("kel_text_to_raw/" + key);
            double gdec = gbps("g_strcompress/" + key), c = gbps("c_text_to_kel/" + key);
            printf(
                "| %s | %zu | %.2f | %.2f | %.2f | %.1fx | %.0f%% | %.2f | %.2f | %.1fx | %.2f |\n",
                kind, size, copy, enc, genc, genc > 0 ? enc / genc : 0.0,
                copy > 0 ? 100 * enc / copy : 0.0, dec, gdec, gdec > 0 ? dec / gdec : 0.0, c);
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    std::map<std::string, Inputs> inputs;
    register_all(inputs);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();
    print_table(collector.rate);
    return 0;
}
