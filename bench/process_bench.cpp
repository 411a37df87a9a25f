// Whole-process benchmark: times the built gantrel converting a mesh against the floor (a static
// program that does only the I/O a conversion cannot avoid: reads the input whole, writes as many
// bytes as the wire file beside the target and renames it) and against `cp` of the same input,
// in alternating runs. Per mesh it reports the medians of wall time, the medians of the paired
// ratios of wall and CPU time, page faults and peak resident memory. Each mesh runs twice: onto a
// new path, and over an existing file (which both gantrel and the floor flush to the disk).
//
//   gantrel_process_bench GANTREL FLOOR EXAMPLE_MESH [RUNS]

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/meshes.h"

namespace {

namespace fs = std::filesystem;

struct sample {
    double wall_ms;
    double cpu_ms;
    long faults;
    long peak_kib;
};

sample run_once(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const auto& part : command)
        argv.push_back(const_cast<char*>(part.c_str()));
    argv.push_back(nullptr);
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, STDOUT_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", command[0].c_str());
        std::exit(1);
    }
    const auto ms = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
    };
    return {std::chrono::duration<double, std::milli>(end - start).count(),
            ms(usage.ru_utime) + ms(usage.ru_stime), usage.ru_minflt + usage.ru_majflt,
            usage.ru_maxrss};
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

struct series {
    std::vector<double> wall, cpu, faults;
    long peak_kib = 0;
    void add(const sample& s) {
        wall.push_back(s.wall_ms);
        cpu.push_back(s.cpu_ms);
        faults.push_back(static_cast<double>(s.faults));
        peak_kib = std::max(peak_kib, s.peak_kib);
    }
};

// Median of the paired ratios a[i] / b[i]; pairs whose b is 0 (CPU time below the clock's
// resolution) are left out.
double paired_ratio(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (b[i] > 0)
            ratios.push_back(a[i] / b[i]);
    }
    return ratios.empty() ? 0 : median(ratios);
}

// The hostile meshes against the closed grid of about as many triangles: alternating runs of
// gantrel on each, onto a new path; the medians of the paired ratios of wall and CPU time.
void hostile_against_grid(const std::string& gantrel, const fs::path& grid, const fs::path& work,
                          int runs) {
    struct mesh {
        const char* name;
        gantrel::test::triangle_list triangles;
    };
    const mesh meshes[] = {
        {"(a) 65535 distinct sides", gantrel::test::all_sides_distinct()},
        {"(d) fan", gantrel::test::fan()},
        {"(e) colliding, fixed key", gantrel::test::colliding_lines(0)},
        {"(f) double star", gantrel::test::double_star()},
        {"(g) many hubs", gantrel::test::many_hubs()},
        {"(h) highest vertices", gantrel::test::highest_vertices()},
        {"(i) every side hashed", gantrel::test::every_side_hashed()},
        {"(j) hubs everywhere", gantrel::test::hubs_everywhere()},
    };
    std::printf("\nhostile meshes against (b), whole process, %d alternating runs each\n", runs);
    std::printf("%-26s %9s %9s %7s %7s %8s %8s\n", "mesh", "gantrel", "(b)", "/(b)", "cpu",
                "faults", "(b)");
    const std::string output = (work / "hostile-out").string();
    const fs::path file = work / "hostile.quorvdata";
    for (const mesh& m : meshes) {
        const std::vector<unsigned char> bytes = gantrel::test::mesh_data_file(m.triangles);
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        series hostile, closed;
        for (int i = 0; i < runs + 10; ++i) {
            sample h{}, c{};
            for (int k = 0; k < 2; ++k) {
                fs::remove(output);
                if ((i + k) % 2 == 0) {
                    h = run_once({gantrel, file.string(), "mesh", output});
                } else {
                    c = run_once({gantrel, grid.string(), "mesh", output});
                }
            }
            if (i < 10)
                continue;  // warm-up
            hostile.add(h);
            closed.add(c);
        }
        std::printf("%-26s %9.3f %9.3f %7.3f %7.3f %8.0f %8.0f\n", m.name, median(hostile.wall),
                    median(closed.wall), paired_ratio(hostile.wall, closed.wall),
                    paired_ratio(hostile.cpu, closed.cpu), median(hostile.faults),
                    median(closed.faults));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: gantrel_process_bench GANTREL FLOOR EXAMPLE_MESH [RUNS]\n");
        return 2;
    }
    const std::string gantrel = fs::absolute(argv[1]).string();
    const std::string floor = fs::absolute(argv[2]).string();
    const int runs = argc > 4 ? std::atoi(argv[4]) : 300;
    const fs::path work = fs::temp_directory_path() / ("gantrel-bench-" + std::to_string(getpid()));
    fs::create_directories(work);

    struct mesh {
        const char* name;
        fs::path file;
    };
    std::vector<mesh> meshes = {{"(a) refused, 65535 lines", work / "a.quorvdata"},
                                {"(b) closed grid", work / "b.quorvdata"},
                                {"example", fs::absolute(argv[3])},
                                {"empty mesh", work / "empty.quorvdata"}};
    const auto save = [](const fs::path& path, const std::vector<unsigned char>& bytes) {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    };
    save(meshes[0].file, gantrel::test::mesh_data_file(gantrel::test::all_sides_distinct()));
    save(meshes[1].file, gantrel::test::mesh_data_file(gantrel::test::closed_grid()));
    save(meshes[3].file, gantrel::test::mesh_data_file({}));

    std::printf("%d alternating runs each; ratios are medians of paired ratios\n", runs);
    std::printf("%-26s %-8s %9s %9s %9s %7s %7s %7s %8s %8s %9s %9s\n", "mesh", "target", "gantrel",
                "floor", "cp", "/floor", "cpu", "/cp", "faults", "floor", "peak KiB", "floor");
    for (const mesh& m : meshes) {
        const std::string output = (work / "out").string();
        fs::remove(output);
        run_once({gantrel, m.file.string(), "mesh", output});
        std::error_code ec;
        const std::uintmax_t wire_size = fs::exists(output) ? fs::file_size(output, ec) : 0;
        for (const bool existing : {false, true}) {
            series tool, bare, copy;
            for (int i = 0; i < runs + 10; ++i) {
                const auto prepare = [&] {
                    if (existing) {
                        std::ofstream(output, std::ios::binary) << "old";
                    } else {
                        fs::remove(output);
                    }
                };
                std::vector<std::string> floor_command = {floor, m.file.string(),
                                                          std::to_string(wire_size), output};
                if (existing)
                    floor_command.push_back("flush");
                // Rotating the order keeps any drift from favouring one program.
                sample t{}, f{}, c{};
                for (int k = 0; k < 3; ++k) {
                    prepare();
                    switch ((i + k) % 3) {
                        case 0:
                            t = run_once({gantrel, m.file.string(), "mesh", output});
                            break;
                        case 1:
                            f = run_once(floor_command);
                            break;
                        default:
                            c = run_once({"cp", m.file.string(), output});
                            break;
                    }
                }
                if (i < 10)
                    continue;  // warm-up
                tool.add(t);
                bare.add(f);
                copy.add(c);
            }
            std::printf("%-26s %-8s %9.3f %9.3f %9.3f %7.3f %7.3f %7.3f %8.0f %8.0f %9ld %9ld\n",
                        m.name, existing ? "existing" : "new", median(tool.wall), median(bare.wall),
                        median(copy.wall), paired_ratio(tool.wall, bare.wall),
                        paired_ratio(tool.cpu, bare.cpu), paired_ratio(tool.wall, copy.wall),
                        median(tool.faults), median(bare.faults), tool.peak_kib, bare.peak_kib);
        }
    }
    hostile_against_grid(gantrel, meshes[1].file, work, runs);
    fs::remove_all(work);
    return 0;
}
