// The line list against a plain linear scan of the list (the baseline the ratio is taken
// against), the name hash, and the whole conversion in memory.

#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "formats/mesh_data.h"
#include "formats/wire_file.h"
#include "mesh/line_list.h"
#include "mesh/name_hash.h"
#include "meshes.h"

namespace {

using gantrel::bench::triangle_list;

// The membership test as a scan of every entry for either orientation; written only to be
// measured against.
struct scanned_list {
    std::vector<gantrel::line> entries;
};

void scan_add_line(scanned_list& lines, std::int32_t a, std::int32_t b) {
    for (const gantrel::line& e : lines.entries) {
        if ((e.first == a && e.second == b) || (e.first == b && e.second == a))
            return;
    }
    lines.entries.push_back({a, b});
}

// `seed` keys the list's hash table, as a run keys it from its random source; 0 is the fixed key.
void indexed(benchmark::State& state, const triangle_list& triangles, std::uint64_t seed) {
    std::vector<std::uint16_t> indices;
    for (const auto& t : triangles) {
        for (const std::int32_t v : t)
            indices.push_back(static_cast<std::uint16_t>(v));
    }
    auto lines = std::make_unique<gantrel::line_list>();
    gantrel::seed_line_index(*lines, seed);
    for (auto _ : state) {
        // As a run does: the list emptied first.
        gantrel::clear_line_list(*lines);
        gantrel::add_triangles(*lines, indices.data(), triangles.size());
        benchmark::DoNotOptimize(gantrel::line_count(*lines));
    }
    state.counters["lines"] = gantrel::line_count(*lines);
}

void scanned(benchmark::State& state, const triangle_list& triangles) {
    scanned_list lines;
    lines.entries.reserve(gantrel::line_list_capacity);
    for (auto _ : state) {
        lines.entries.clear();
        for (const auto& t : triangles) {
            scan_add_line(lines, t[0], t[1]);
            scan_add_line(lines, t[1], t[2]);
            scan_add_line(lines, t[2], t[0]);
        }
        benchmark::DoNotOptimize(lines.entries.size());
    }
    state.counters["lines"] = static_cast<double>(lines.entries.size());
}

const triangle_list mesh_a = gantrel::bench::all_sides_distinct();
const triangle_list mesh_b = gantrel::bench::closed_grid();
const triangle_list mesh_c = gantrel::bench::few_vertices();
const triangle_list mesh_d = gantrel::bench::fan();

// Any seed stands for a run's unknown key.
constexpr std::uint64_t some_seed = 0x5EED5EED5EED5EEDu;
const triangle_list mesh_e = gantrel::bench::colliding_lines(0);
const triangle_list mesh_f = gantrel::bench::double_star();
const triangle_list mesh_g = gantrel::bench::many_hubs();
const triangle_list mesh_h = gantrel::bench::highest_vertices();
const triangle_list mesh_i = gantrel::bench::every_side_hashed();

BENCHMARK_CAPTURE(indexed, a_all_sides_distinct, mesh_a, some_seed)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(indexed, b_closed_grid, mesh_b, some_seed)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(indexed, c_few_vertices, mesh_c, some_seed)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(indexed, d_fan, mesh_d, some_seed)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(indexed, e_colliding_key_unknown, mesh_e, some_seed)
    ->Unit(benchmark::kMicrosecond);
// What a leaked key would cost: the mesh made against the key the list is keyed with.
BENCHMARK_CAPTURE(indexed, e_colliding_key_known, mesh_e, 0)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(indexed, f_double_star, mesh_f, some_seed)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(indexed, g_many_hubs, mesh_g, some_seed)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(indexed, h_highest_vertices, mesh_h, some_seed)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(indexed, i_every_side_hashed, mesh_i, some_seed)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(scanned, a_all_sides_distinct, mesh_a)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(scanned, b_closed_grid, mesh_b)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(scanned, c_few_vertices, mesh_c)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(scanned, d_fan, mesh_d)->Unit(benchmark::kMillisecond);

void hash_name(benchmark::State& state) {
    const std::string name(static_cast<std::size_t>(state.range(0)), 'M');
    for (auto _ : state)
        benchmark::DoNotOptimize(gantrel::name_hash(name));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(hash_name)->Arg(16)->Arg(4096);

// What a run does between opening the input and writing the output, for mesh (b), with the file
// in memory (a memory file descriptor): the header and the triangles read through the reader a
// chunk at a time, the lines collected, the header encoded (the line list's records are the wire
// file's lines).
void convert_in_memory(benchmark::State& state) {
    const std::vector<unsigned char> file = gantrel::bench::mesh_data_file(mesh_b);
    const int fd = memfd_create("mesh", 0);
    if (fd < 0 || write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size())) {
        state.SkipWithError("no memory file");
        return;
    }
    std::FILE* stream = fdopen(fd, "rb");
    auto reader = std::make_unique<gantrel::mesh_data_reader>();
    auto lines = std::make_unique<gantrel::line_list>();
    for (auto _ : state) {
        std::rewind(stream);
        gantrel::start_reading(*reader, stream);
        gantrel::mesh_data_header header{};
        gantrel::read_header(*reader, header);
        gantrel::clear_line_list(*lines);
        for (;;) {
            gantrel::triangle_run next{};
            if (!gantrel::read_triangles(*reader, next) || next.count == 0)
                break;
            gantrel::add_triangles(*lines, next.indices, next.count);
        }
        unsigned char wire_header[gantrel::wire_header_size];
        gantrel::encode_wire_header(gantrel::name_hash("mesh"), header.carried_word,
                                    gantrel::line_count(*lines), wire_header);
        benchmark::DoNotOptimize(wire_header);
        benchmark::DoNotOptimize(gantrel::line_records(*lines));
    }
    std::fclose(stream);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(file.size()));
}
BENCHMARK(convert_in_memory)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
