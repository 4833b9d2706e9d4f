// SPDX-License-Identifier: MIT
// Throughput of the codec's two main converters beside the strongest public
// string escapers and unescapers, on the same raw text, in one run; ends
// with a table of GB/s (or ns per call for names) and ours/best-peer ratios.
//
//   escape:   raw_text_to_kel | RapidJSON Writer (SSE2) | Boost.JSON serializer | g_strescape
//   unescape: kel_text_to_raw | simdjson On-Demand | Boost.JSON parser | RapidJSON Reader
//             | g_strcompress
//   memcpy of the raw text, the floor
//
// Every decoder reads its own format's encoding of the same raw text, and
// every output is checked against the raw text (or its encoding) before it
// is timed.  Bytes per second count the bytes of the raw text.  Each
// benchmark cycles through at least 1 MiB of different inputs of its size,
// so that no branch predictor learns one input by heart.  Ours and RapidJSON
// write into buffers made once; GLib and the parsers allocate as they do.
#define RAPIDJSON_SSE2
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <boost/json.hpp>
#include <simdjson.h>

#include "textcodec.h"
#include "textcodec_kernels.h"

#include <benchmark/benchmark.h>
#include <glib.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <unistd.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace
{

struct Input {
    const char *kind;
    size_t size;
    bool per_call; // names: report ns per call
};

const Input inputs_wanted[] = {
    {"prose", 64, false},   {"prose", 4096, false},   {"prose", 1 << 20, false},
    {"plain", 64, false},   {"plain", 4096, false},   {"plain", 1 << 20, false},
    {"heavy", 64, false},   {"heavy", 4096, false},   {"heavy", 1 << 20, false},
    {"name", 16, true},     {"name", 64, true},
};

// Raw 7-bit text: prose-like text with a character to escape about every
// 40 characters, plain text with none, text in which half the characters
// need escaping, or names (prose-like, short).  The characters to escape
// are those that both KEL text and JSON escape, so every format sees the
// same density of escapes.
std::string make_raw(const std::string &kind, size_t size, unsigned variant)
{
    static const char words[] = "the quick brown fox jumps over a lazy dog and keeps running ";
    static const char specials[] = "\"\\\t\n\r";
    std::mt19937 rng(variant);
    std::uniform_int_distribution<int> word_at(0, (int)sizeof words - 2);
    std::uniform_int_distribution<int> special(0, (int)sizeof specials - 2);
    std::uniform_int_distribution<int> one_in_40(0, 39);
    std::uniform_int_distribution<int> coin(0, 1);
    bool prose = kind == "prose" || kind == "name", heavy = kind == "heavy";

    std::string text;
    while (text.size() < size) {
        char ch = words[word_at(rng)];
        if ((prose && one_in_40(rng) == 0) || (heavy && coin(rng) == 0))
            ch = specials[special(rng)];
        text += ch;
    }
    return text;
}

std::string to_kel(const std::string &raw)
{
    int n = raw_text_to_kel(nullptr, raw.c_str(), 0);
    std::string out((size_t)n + 1, '\0');
    raw_text_to_kel(&out[0], raw.c_str(), n);
    out.resize((size_t)n);
    return out;
}

std::string to_json(const std::string &raw)
{
    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    w.String(raw.data(), (rapidjson::SizeType)raw.size());
    return std::string(sb.GetString(), sb.GetSize());
}

std::string to_c_text(const std::string &raw)
{
    gchar *escaped = g_strescape(raw.c_str(), nullptr);
    std::string text = escaped;
    g_free(escaped);
    return text;
}

// The inputs of one kind and size in every format.
struct Pool {
    std::vector<std::string> raw, kel, json, c_text;
    std::vector<simdjson::padded_string> json_padded;
    size_t longest = 0;
};

// About pool_bytes of raw text in inputs of in's kind and size, or two
// inputs where one alone is as large.
Pool make_pool(const Input &in, size_t pool_bytes)
{
    Pool p;
    size_t count = in.size < pool_bytes ? pool_bytes / in.size : 2;
    for (size_t k = 0; k < count; k++) {
        p.raw.push_back(make_raw(in.kind, in.size, (unsigned)(1208 + k)));
        p.kel.push_back(to_kel(p.raw.back()));
        p.json.push_back(to_json(p.raw.back()));
        p.c_text.push_back(to_c_text(p.raw.back()));
        p.json_padded.emplace_back(p.json.back());
        p.longest = std::max(p.longest, p.raw.back().size());
    }
    return p;
}

void fail(const char *who, size_t k)
{
    fprintf(stderr, "textcodec_bench: %s gave a wrong result for input %zu\n", who, k);
    exit(1);
}

// Runs one(k) over the pool, counting the raw bytes of each input; check(k)
// first runs over the whole pool and must hold for every input.
template <class One, class Check>
void over_pool(benchmark::State &state, const Pool &pool, const char *who, One one, Check check)
{
    for (size_t k = 0; k < pool.raw.size(); k++) {
        if (!check(k))
            fail(who, k);
    }
    size_t k = 0;
    int64_t bytes = 0;
    for (auto _ : state) {
        one(k);
        bytes += (int64_t)pool.raw[k].size();
        k = k + 1 == pool.raw.size() ? 0 : k + 1;
    }
    state.SetBytesProcessed(bytes);
}

// ---- Escapers ----

void ours_escape(benchmark::State &state, const Pool &pool)
{
    std::vector<char> out(4 * pool.longest + 1);
    int cap = (int)out.size() - 1;
    auto one = [&](size_t k) {
        int n = raw_text_to_kel(out.data(), pool.raw[k].c_str(), cap);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
        return n;
    };
    over_pool(state, pool, "raw_text_to_kel", one, [&](size_t k) {
        int n = one(k);
        return n >= 0 && std::string(out.data(), (size_t)n) == pool.kel[k];
    });
}

void rapidjson_escape(benchmark::State &state, const Pool &pool)
{
    rapidjson::StringBuffer sb(nullptr, 6 * pool.longest + 16);
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    auto one = [&](size_t k) {
        sb.Clear();
        w.Reset(sb);
        w.String(pool.raw[k].data(), (rapidjson::SizeType)pool.raw[k].size());
        benchmark::DoNotOptimize(sb.GetString());
        benchmark::ClobberMemory();
    };
    over_pool(state, pool, "RapidJSON", one, [&](size_t k) {
        one(k);
        return std::string(sb.GetString(), sb.GetSize()) == pool.json[k];
    });
}

void boost_escape(benchmark::State &state, const Pool &pool)
{
    std::vector<char> out(6 * pool.longest + 16);
    boost::json::serializer sr;
    size_t got = 0;
    auto one = [&](size_t k) {
        sr.reset(boost::json::string_view(pool.raw[k]));
        got = sr.read(out.data(), out.size()).size();
        benchmark::DoNotOptimize(got);
        benchmark::ClobberMemory();
    };
    over_pool(state, pool, "Boost.JSON", one, [&](size_t k) {
        one(k);
        // Boost.JSON writes the same JSON, save that it may pick other escapes.
        simdjson::ondemand::parser parser;
        simdjson::padded_string padded(out.data(), got);
        std::string_view back;
        auto doc = parser.iterate(padded);
        return sr.done() && !doc.get_string().get(back) && back == pool.raw[k];
    });
}

void glib_escape(benchmark::State &state, const Pool &pool)
{
    auto one = [&](size_t k) {
        gchar *out = g_strescape(pool.raw[k].c_str(), nullptr);
        benchmark::DoNotOptimize(out);
        g_free(out);
    };
    over_pool(state, pool, "g_strescape", one, [&](size_t) { return true; });
}

// ---- Unescapers ----

void ours_unescape(benchmark::State &state, const Pool &pool)
{
    std::vector<char> out(pool.longest + 1);
    int cap = (int)out.size() - 1;
    auto one = [&](size_t k) {
        int n = kel_text_to_raw(out.data(), pool.kel[k].c_str(), cap);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
        return n;
    };
    over_pool(state, pool, "kel_text_to_raw", one, [&](size_t k) {
        int n = one(k);
        return n >= 0 && std::string(out.data(), (size_t)n) == pool.raw[k];
    });
}

void simdjson_unescape(benchmark::State &state, const Pool &pool)
{
    simdjson::ondemand::parser parser(pool.longest * 6 + 64);
    std::string_view got;
    auto one = [&](size_t k) {
        auto doc = parser.iterate(pool.json_padded[k]);
        bool ok = !doc.get_string().get(got);
        benchmark::DoNotOptimize(got);
        return ok;
    };
    over_pool(state, pool, "simdjson", one, [&](size_t k) { return one(k) && got == pool.raw[k]; });
}

// simdjson's bare string kernel, on the padded copy just after the opening
// quote: it checks less than any complete decoder, so it is the upper bound
// and no peer.
void simdjson_kernel_unescape(benchmark::State &state, const Pool &pool)
{
    std::unique_ptr<simdjson::internal::dom_parser_implementation> impl;
    if (simdjson::get_active_implementation()->create_dom_parser_implementation(
            pool.longest * 6 + 64, 8, impl) != simdjson::SUCCESS)
        fail("simdjson's string kernel", 0);
    std::vector<uint8_t> out(pool.longest + simdjson::SIMDJSON_PADDING);
    uint8_t *end = nullptr;
    auto one = [&](size_t k) {
        end = impl->parse_string((const uint8_t *)pool.json_padded[k].data() + 1, out.data());
        benchmark::DoNotOptimize(end);
        benchmark::ClobberMemory();
    };
    over_pool(state, pool, "simdjson's string kernel", one, [&](size_t k) {
        one(k);
        return end != nullptr && std::string((const char *)out.data(), (size_t)(end - out.data())) == pool.raw[k];
    });
}

void boost_unescape(benchmark::State &state, const Pool &pool)
{
    boost::json::parser p;
    boost::json::value v;
    auto one = [&](size_t k) {
        p.reset();
        p.write(pool.json[k]);
        v = p.release();
        benchmark::DoNotOptimize(v);
    };
    over_pool(state, pool, "Boost.JSON", one, [&](size_t k) {
        one(k);
        return v.is_string() && v.as_string() == pool.raw[k];
    });
}

struct StringOnly : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, StringOnly> {
    const char *text = nullptr;
    size_t len = 0;
    bool String(const char *s, rapidjson::SizeType n, bool)
    {
        text = s;
        len = n;
        return true;
    }
};

void rapidjson_unescape(benchmark::State &state, const Pool &pool)
{
    rapidjson::Reader reader;
    StringOnly handler;
    auto one = [&](size_t k) {
        rapidjson::StringStream ss(pool.json[k].c_str());
        reader.Parse(ss, handler);
        benchmark::DoNotOptimize(handler.text);
    };
    over_pool(state, pool, "RapidJSON", one, [&](size_t k) {
        one(k);
        return handler.text != nullptr && std::string(handler.text, handler.len) == pool.raw[k];
    });
}

void glib_unescape(benchmark::State &state, const Pool &pool)
{
    gchar *out = nullptr;
    auto one = [&](size_t k) {
        g_free(out);
        out = g_strcompress(pool.c_text[k].c_str());
        benchmark::DoNotOptimize(out);
    };
    over_pool(state, pool, "g_strcompress", one, [&](size_t k) {
        one(k);
        return pool.raw[k] == out;
    });
    g_free(out);
}

void copy(benchmark::State &state, const Pool &pool)
{
    std::vector<char> out(pool.longest);
    auto one = [&](size_t k) {
        memcpy(out.data(), pool.raw[k].data(), pool.raw[k].size());
        benchmark::ClobberMemory();
    };
    over_pool(state, pool, "memcpy", one, [&](size_t) { return true; });
}

struct Contender {
    const char *name;
    void (*run)(benchmark::State &, const Pool &);
    bool ours;
    bool escape;
    bool bound = false; // an upper bound, not a complete peer
};

const Contender contenders[] = {
    {"memcpy", copy, false, false},
    {"raw_text_to_kel", ours_escape, true, true},
    {"RapidJSON", rapidjson_escape, false, true},
    {"Boost.JSON", boost_escape, false, true},
    {"g_strescape", glib_escape, false, true},
    {"kel_text_to_raw", ours_unescape, true, false},
    {"simdjson", simdjson_unescape, false, false},
    {"simdjson/string", simdjson_kernel_unescape, false, false, true},
    {"Boost.JSON/parse", boost_unescape, false, false},
    {"RapidJSON/parse", rapidjson_unescape, false, false},
    {"g_strcompress", glib_unescape, false, false},
};

std::string key(const Input &in)
{
    return std::string(in.kind) + "/" + std::to_string(in.size);
}

// Keeps each benchmark's bytes per second and time per call: the median
// of the repetitions when there are several (--benchmark_repetitions=N).
class Collector : public benchmark::ConsoleReporter
{
  public:
    std::map<std::string, double> rate, ns;
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs) {
            bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (r.run_type == Run::RT_Aggregate && !median)
                continue;
            if (r.run_type != Run::RT_Aggregate && r.repetitions > 1)
                continue;
            std::string name = r.run_name.str();
            auto it = r.counters.find("bytes_per_second");
            if (it != r.counters.end())
                rate[name] = it->second;
            ns[name] = r.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

// One line per input, for a chart: the case, memcpy, ours and the best
// peer escaping, ours and the best peer unescaping, simdjson's string kernel.
void write_chart_data(const Collector &c, const char *path)
{
    FILE *f = fopen(path, "w");
    if (f == nullptr) {
        perror(path);
        exit(1);
    }
    fprintf(f, "case\tmemcpy\tescape\tbest_escaper\tunescape\tbest_unescaper\tsimdjson_string\n");
    for (const Input &in : inputs_wanted) {
        auto value = [&](const char *name) {
            auto &m = in.per_call ? c.ns : c.rate;
            auto it = m.find(std::string(name) + "/" + key(in));
            return it == m.end() ? 0.0 : in.per_call ? it->second : it->second / 1e9;
        };
        double best[2] = {0, 0};
        for (const Contender &x : contenders) {
            if (x.ours || x.bound || x.run == copy)
                continue;
            double v = value(x.name);
            double &b = best[x.escape ? 0 : 1];
            if (b == 0 || (in.per_call ? v < b : v > b))
                b = v;
        }
        fprintf(f, "%s/%zu%s\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\n", in.kind, in.size,
                in.per_call ? "(ns)" : "", value("memcpy"), value("raw_text_to_kel"), best[0],
                value("kel_text_to_raw"), best[1], value("simdjson/string"));
    }
    fclose(f);
}

void print_table(const Collector &c)
{
    auto get = [](const std::map<std::string, double> &m, const std::string &name) {
        auto it = m.find(name);
        return it == m.end() ? 0.0 : it->second;
    };
    printf("\nKernels: %s.  GB/s of raw text (ns per call for names); ratio = ours / best peer\n",
           textcodec_level_name(textcodec_current_level()));
    for (bool escape : {true, false}) {
        printf("\n| %s | input | size | memcpy |", escape ? "escape" : "unescape");
        for (const Contender &x : contenders) {
            if (x.escape == escape && x.run != copy)
                printf(" %s |", x.name);
        }
        printf(" best peer | ratio |\n|---|---|---:|---:|");
        for (const Contender &x : contenders) {
            if (x.escape == escape && x.run != copy)
                printf("---:|");
        }
        printf("---|---:|\n");
        for (const Input &in : inputs_wanted) {
            printf("| | %s | %zu |", in.kind, in.size);
            auto value = [&](const Contender &x) {
                std::string name = std::string(x.name) + "/" + key(in);
                return in.per_call ? get(c.ns, name) : get(c.rate, name) / 1e9;
            };
            printf(" %.2f |", value(contenders[0]));
            double ours = 0, best = 0;
            const char *best_name = "";
            for (const Contender &x : contenders) {
                if (x.escape != escape || x.run == copy)
                    continue;
                double v = value(x);
                printf(" %.2f |", v);
                if (x.ours) {
                    ours = v;
                } else if (x.bound) {
                    continue;
                } else if (best == 0 || (in.per_call ? v < best : v > best)) {
                    best = v;
                    best_name = x.name;
                }
            }
            double ratio = in.per_call ? (ours > 0 ? best / ours : 0) : (best > 0 ? ours / best : 0);
            printf(" %s | %.2fx |\n", best_name, ratio);
        }
    }
    printf("\nFor names the ratio is the best peer's ns per call over ours: above 1 is faster.\n"
           "simdjson/string is simdjson's bare string kernel: an upper bound, not a peer.\n");
}

} // namespace

int main(int argc, char **argv)
{
    // --level=exact|sse2|avx2|avx512|avx512vbmi2 measures one level of the
    // kernels; --chart-data=FILE writes the figures for a chart;
    // --pool=BYTES sets how much raw text each input's pool holds (1 MiB
    // by default, so that a name is read as one of many, not from the
    // same few lines each time; the pool's other formats, allocated
    // beside each input, take several times as much again).
    const char *chart_data = nullptr;
    size_t pool_bytes = 1 << 20;
    for (int a = 1; a < argc; a++) {
        if (strncmp(argv[a], "--chart-data=", 13) == 0) {
            chart_data = argv[a] + 13;
        } else if (strncmp(argv[a], "--pool=", 7) == 0) {
            char *end;
            unsigned long long n = strtoull(argv[a] + 7, &end, 10);
            if (end == argv[a] + 7 || *end != '\0' || n < 64 || n > (1ULL << 30)) {
                fprintf(stderr, "textcodec_bench: --pool takes a number of bytes from 64 to 1073741824\n");
                return 2;
            }
            pool_bytes = (size_t)n;
        } else if (strncmp(argv[a], "--level=", 8) != 0) {
            continue;
        }
        for (int level = 0; level < TEXTCODEC_LEVELS; level++) {
            if (strcmp(argv[a] + 8, textcodec_level_name((textcodec_level)level)) == 0)
                textcodec_use_level((textcodec_level)level);
        }
        for (int b = a; b + 1 < argc; b++)
            argv[b] = argv[b + 1];
        argc--;
        a--;
    }
    std::vector<Pool> pools;
    pools.reserve(sizeof inputs_wanted / sizeof inputs_wanted[0]);
    for (const Input &in : inputs_wanted)
        pools.push_back(make_pool(in, pool_bytes));
    for (size_t p = 0; p < pools.size(); p++) {
        for (const Contender &x : contenders) {
            const Pool *pool = &pools[p];
            auto run = x.run;
            benchmark::RegisterBenchmark((std::string(x.name) + "/" + key(inputs_wanted[p])).c_str(),
                                         [run, pool](benchmark::State &s) { run(s, *pool); });
        }
    }
    // No colour codes in a log: only on a terminal.
    std::vector<char *> args(argv, argv + argc);
    static char no_colour[] = "--benchmark_color=false";
    if (!isatty(STDOUT_FILENO))
        args.insert(args.begin() + 1, no_colour);
    argc = (int)args.size();
    argv = args.data();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();
    print_table(collector);
    if (chart_data != nullptr)
        write_chart_data(collector, chart_data);
    return 0;
}
