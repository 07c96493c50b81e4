// Shared helpers of the test suites: feeding samples through an engine, and
// running the command-line programs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <cstdlib>
#include <unistd.h>
#include <span>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "render/standard_engine.h"
#include "core/sample_source.h"

namespace quorvel::testing {

// Feed samples (16-bit values) through the engine's processing loop, block by
// block, with a take step after every block as a window that keeps up would do.
// Returns everything taken. A last partial block is padded with zeros.
inline std::string DecodeSamples(Engine& engine, std::span<const std::int16_t> samples) {
    SampleQueue queue;
    queue.Append(samples);
    queue.PadLastBlock();
    std::string all;
    std::string taken;
    engine.ctx.TakeText(taken);
    all += taken;
    while (queue.PendingBlocks() > 0) {
        OneBlockOf one(queue);
        engine.ProcessPendingBlocks(one);
        engine.ctx.TakeText(taken);
        all += taken;
    }
    return all;
}

// A whole file as bytes (empty when it cannot be read).
inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct CommandResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Run a shell command, capturing standard output, standard error and the exit
// status.
inline CommandResult RunCommand(const std::string& command) {
    CommandResult r;
    char errName[] = "/tmp/quorvel-test-err-XXXXXX";
    const int fd = mkstemp(errName);
    if (fd >= 0) close(fd);
    const std::string full = command + " 2>" + errName;
    FILE* pipe = popen(full.c_str(), "r");
    if (pipe == nullptr) return r;
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) r.out.append(buffer, n);
    const int raw = pclose(pipe);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    if (FILE* err = std::fopen(errName, "rb")) {
        while ((n = fread(buffer, 1, sizeof buffer, err)) > 0) r.err.append(buffer, n);
        std::fclose(err);
    }
    std::remove(errName);
    return r;
}

}  // namespace quorvel::testing
