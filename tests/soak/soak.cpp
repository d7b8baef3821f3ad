// vek-soak: many complete programming runs, in-process, against the simulated target with
// random line faults, local echo among them. Each run draws its image length, whether its line
// echoes and its fault rates from the random start value; the engine is stepped as the shell
// steps it, with the real response timer and the real serial backend.
//
// What must hold: a run that completes leaves the target's memory equal to the image, byte for
// byte; a run that fails does so on a range-CRC reply it had every reason to refuse (a wrong or
// short CRC, an exception, a late reply to an earlier request, or the target's true CRC of
// memory that differs); no run hangs. Any other outcome is a violation: exit code 1.
//
// usage: vek-soak [--runs N] [--first N] [--rng N] [--jobs N]; a violating run's line names its
// number, and --first N --runs 1 repeats it alone.
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "engine/installer.h"
#include "engine/ui.h"
#include "modbus/modbus.h"
#include "tests/rig.h"
#include "tools/target_sim.h"

void uiStatus(const char *) {}
void uiMessageBox(const char *, const char *) {}
void uiBeep(unsigned, unsigned) {}

namespace
{

enum outcome {
    COMPLETED,
    FAILED_WITH_CAUSE,
    BAD_COMPLETED_DIFFERENT, // violations from here on
    BAD_FAILED_NO_CAUSE,
    BAD_LIE_ACCEPTED,
    BAD_STUCK,
    OUTCOMES
};

const char *const OUTCOME_NAMES[OUTCOMES] = {
    "completed, memory equal",
    "failed on a reply it had reason to refuse",
    "VIOLATION completed with different memory",
    "VIOLATION failed without an injected cause",
    "VIOLATION accepted a wrong or short CRC",
    "VIOLATION did not finish",
};

// Counts added up over the runs: the outcomes, then these.
enum { ECHOING = OUTCOMES, REQUESTS, RESENDS, RUNS, TALLIES };
using totals = std::array<long long, TALLIES>;

double rate(std::mt19937 &g, double most)
{
    // A quarter of the kinds stay off in a run, so runs differ in kind as well as in rate.
    return g() % 4 == 0 ? 0 : most * std::generate_canonical<double, 32>(g);
}

// Whether a failed run failed for a reason, from the reply the engine judged last: the engine
// leaves it in the buffer once verification has failed.
bool hadCause(const installer_t &rec, unsigned memory_crc, const sim_counts &c, bool late,
              bool memory_equal)
{
    const uint8_t *b = rec.buf;
    if (b[1] & 0x80)
        return c.exceptions > 0;
    if (rec.len >= 15 && b[2] == MEI_TYPE_PROG_VERIFY) {
        if (bitRd16BE(b + 11) != memory_crc)
            return c.wrong_crc > 0;
        // Memory differs only where the target refused a block, or never heard it whole.
        return !memory_equal && (c.exceptions || c.ignored);
    }
    // A reply too short to carry the CRC: cut by the target, or a late reply to an earlier
    // request, or (on a line not yet known to echo) the echo of the request itself.
    return c.short_replies > 0 || late;
}

// One run, drawn from the random start value and the run's number alone, so that any run can
// be repeated by itself.
void oneRun(int run, uint32_t rng, totals &tot, FILE *out)
{
    std::mt19937 draws(rng * 2654435761u + static_cast<uint32_t>(run));
    sim_config cfg;
    // The target answers 5 ms after a request ends: under the tool's 10 ms read gap, so two
    // requests never run together on the line even without the tick between steps.
    cfg.gap_us = 5000;
    cfg.rng = draws();
    cfg.drop.rate = rate(draws, 0.2);
    cfg.corrupt.rate = rate(draws, 0.2);
    cfg.split.rate = rate(draws, 0.2);
    cfg.delay.rate = rate(draws, 0.2);
    cfg.noise.rate = rate(draws, 0.3);
    cfg.delay_ms = 200 + static_cast<int>(draws() % 2300); // within the wait, or after it
    cfg.split_gap_ms = 11 + static_cast<int>(draws() % 200);
    switch (draws() % 8) {
    case 0:
        cfg.wrong_crc.on = {1};
        break;
    case 1:
        cfg.short_crc.on = {1};
        break;
    case 2:
        cfg.wrong_crc.rate = 0.5;
        cfg.short_crc.rate = 0.3;
        break;
    case 3:
        cfg.exception.rate = 0.05;
        break;
    default:
        break;
    }
    // A third of the lines echo every frame, now and then broken, the reply right behind the
    // echo or well after it.
    const bool echoing = draws() % 3 == 0;
    if (echoing) {
        cfg.echo.rate = 1;
        cfg.echo_corrupt.rate = rate(draws, 0.1);
        cfg.echo_short.rate = rate(draws, 0.1);
        cfg.echo_gap_ms = static_cast<int>(draws() % 4) * 60 - 1;
    }
    uint32_t n = 1 + draws() % 6144;
    if (draws() % 4 == 0)
        n = MODBUS_PROG_BLOCKSIZE_MAX * (1 + n / 512 % 12); // whole blocks only
    std::vector<uint8_t> image(n);
    for (auto &b : image)
        b = static_cast<uint8_t>(draws());

    sim target;
    std::string error;
    if (!simStart(&target, cfg, &error)) {
        fprintf(out, "simulator: %s\n", error.c_str());
        exit(2);
    }
    rig r;
    rigSetUp(&r, image, target.port.c_str());
    const installer_t &rec = r.rec;
    // Every fault costs at most a few response times; this bound only catches a hang.
    rigRun(&r, std::chrono::seconds(60 + 10 * (n / 512)));
    serClose(&r.rec.h_port);
    simStop(&target);

    const sim_counts c = simCounts(&target);
    const std::vector<sim_frame> log = simLog(&target);
    const std::vector<uint8_t> memory = simMemory(&target, SIM_MEMORY_BASE, n);
    const bool equal = memory == image;
    int resends = 0;
    bool late = false, honest_crc = false, lie = false;
    for (size_t i = 0; i < log.size(); i++) {
        if (i > 0 && log[i].raw == log[i - 1].raw)
            resends++;
        late |= log[i].action == SIM_DELAYED && (cfg.delay_ms >= 700 || echoing);
        if (log[i].kind == SIM_KIND_RANGE_CRC) {
            sim_action a = log[i].action;
            honest_crc |= a == SIM_ANSWERED || a == SIM_DELAYED;
            lie |= a == SIM_WRONG_CRC || a == SIM_SHORT || a == SIM_EXCEPTION;
        }
    }
    outcome o = BAD_STUCK;
    if (rec.state == STATE_COMPLETE && !equal)
        o = BAD_COMPLETED_DIFFERENT;
    else if (rec.state == STATE_COMPLETE && lie && !honest_crc && !late)
        o = BAD_LIE_ACCEPTED; // no reply it could have taken for the true CRC
    else if (rec.state == STATE_COMPLETE)
        o = COMPLETED;
    else if (rec.state == STATE_VERIFY_FAILED)
        o = hadCause(rec, simCrc16(memory.data(), n), c, late, equal) ? FAILED_WITH_CAUSE
                                                                      : BAD_FAILED_NO_CAUSE;
    tot[o]++;
    tot[ECHOING] += echoing;
    tot[REQUESTS] += c.requests;
    tot[RESENDS] += resends;
    tot[RUNS]++;
    if (o >= BAD_COMPLETED_DIFFERENT)
        fprintf(out, "run %d (image %u bytes%s): %s\n", run, n, echoing ? ", echoing line" : "",
                OUTCOME_NAMES[o]);
}

int argInt(int argc, char **argv, const char *name, int fallback)
{
    for (int i = 1; i + 1 < argc; i++)
        if (std::strcmp(argv[i], name) == 0)
            return static_cast<int>(std::strtol(argv[i + 1], nullptr, 0));
    return fallback;
}

} // namespace

int main(int argc, char **argv)
{
    const int runs = argInt(argc, argv, "--runs", 30);
    const int first = argInt(argc, argv, "--first", 1);
    const uint32_t rng = static_cast<uint32_t>(argInt(argc, argv, "--rng", 1));
    const int jobs = argInt(argc, argv, "--jobs", 1);

    // The engine's console log and the link's notes on the pseudo-terminals' missing parity
    // would bury the table: they go to /dev/null. Each run's line is one write, so the lines
    // of parallel jobs do not mix.
    FILE *out = fdopen(dup(1), "w");
    if (!out || !freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr))
        return 2;
    setvbuf(out, nullptr, _IOLBF, 512);

    // Runs wait on the line far more than they compute: jobs processes share the runs.
    totals tot{};
    std::vector<int> pipes;
    for (int j = 0; j < jobs; j++) {
        int fd[2];
        if (pipe(fd) != 0)
            return 2;
        pid_t pid = fork();
        if (pid < 0)
            return 2;
        if (pid == 0) {
            close(fd[0]);
            totals mine{};
            for (int run = first + j; run < first + runs; run += jobs)
                oneRun(run, rng, mine, out);
            bool sent = write(fd[1], &mine, sizeof mine) == static_cast<ssize_t>(sizeof mine);
            _exit(sent ? 0 : 2);
        }
        close(fd[1]);
        pipes.push_back(fd[0]);
    }
    bool lost = false;
    for (int fd : pipes) {
        totals part{};
        lost |= read(fd, &part, sizeof part) != static_cast<ssize_t>(sizeof part);
        close(fd);
        for (int k = 0; k < TALLIES; k++)
            tot[k] += part[k];
    }
    while (wait(nullptr) > 0) {
    }

    long long bad = lost ? 1 : 0;
    for (int o = BAD_COMPLETED_DIFFERENT; o < OUTCOMES; o++)
        bad += tot[o];
    fprintf(out,
            "runs %lld (rng %u, %d jobs), %lld on echoing lines; requests heard %lld, "
            "resends %lld\n",
            tot[RUNS], rng, jobs, tot[ECHOING], tot[REQUESTS], tot[RESENDS]);
    for (int o = 0; o < OUTCOMES; o++)
        if (tot[o] || o < BAD_COMPLETED_DIFFERENT)
            fprintf(out, "  %-45s %lld\n", OUTCOME_NAMES[o], tot[o]);
    fprintf(out, "violations %lld%s\n", bad, lost ? " (a job did not report)" : "");
    fclose(out);
    return bad ? 1 : 0;
}
