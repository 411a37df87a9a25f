// Whole-process benchmark: times the built gantrel converting a mesh against `cp` copying the same
// file to a new path (a process that reads and writes that many bytes: the floor), in alternating
// runs, and reports per mesh the median of each, the median of the paired ratios and the peak
// resident memory of each.
//
//   gantrel_process_bench GANTREL EXAMPLE_MESH [RUNS]

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

#include "meshes.h"

namespace {

namespace fs = std::filesystem;

struct sample {
    double milliseconds;
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
    return {std::chrono::duration<double, std::milli>(end - start).count(), usage.ru_maxrss};
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: gantrel_process_bench GANTREL EXAMPLE_MESH [RUNS]\n");
        return 2;
    }
    const std::string gantrel = fs::absolute(argv[1]).string();
    const int runs = argc > 3 ? std::atoi(argv[3]) : 300;
    const fs::path work = fs::temp_directory_path() / ("gantrel-bench-" + std::to_string(getpid()));
    fs::create_directories(work);

    struct mesh {
        const char* name;
        fs::path file;
    };
    std::vector<mesh> meshes = {{"(a) 65535 distinct lines", work / "a.quorvdata"},
                                {"(b) closed grid", work / "b.quorvdata"},
                                {"example", fs::absolute(argv[2])},
                                {"empty mesh", work / "empty.quorvdata"}};
    const auto save = [](const fs::path& path, const std::vector<unsigned char>& bytes) {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    };
    save(meshes[0].file, gantrel::bench::mesh_data_file(gantrel::bench::all_sides_distinct()));
    save(meshes[1].file, gantrel::bench::mesh_data_file(gantrel::bench::closed_grid()));
    save(meshes[3].file, gantrel::bench::mesh_data_file({}));

    std::printf("%-26s %12s %12s %12s %14s %14s\n", "mesh", "gantrel ms", "cp ms", "ratio",
                "gantrel KiB", "cp KiB");
    for (const mesh& m : meshes) {
        const std::string output = (work / "out").string();
        std::vector<double> tool_ms, copy_ms, ratios;
        long tool_kib = 0, copy_kib = 0;
        for (int i = 0; i < runs + 10; ++i) {
            fs::remove(output);
            const sample tool = run_once({gantrel, m.file.string(), "mesh", output});
            fs::remove(output);
            const sample copy = run_once({"cp", m.file.string(), output});
            if (i < 10)
                continue;  // warm-up
            tool_ms.push_back(tool.milliseconds);
            copy_ms.push_back(copy.milliseconds);
            ratios.push_back(tool.milliseconds / copy.milliseconds);
            tool_kib = std::max(tool_kib, tool.peak_kib);
            copy_kib = std::max(copy_kib, copy.peak_kib);
        }
        std::printf("%-26s %12.3f %12.3f %12.3f %14ld %14ld\n", m.name, median(tool_ms),
                    median(copy_ms), median(ratios), tool_kib, copy_kib);
    }
    fs::remove_all(work);
    return 0;
}
