// The render job in C++ alone, as the yardstick of the Python module's
// cost (bench/python_overhead.py runs both): a module loaded once and kept,
// then the same job rendered several times from memory into memory, the
// fastest time printed.
//
//   aerie_render_job_bench MODULE SECONDS REPEATS          stereo noise in
//   aerie_render_job_bench MODULE --midi FILE REPEATS      a MIDI file played
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <aerie/render_job.h>

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s MODULE SECONDS REPEATS | MODULE --midi FILE REPEATS\n", argv[0]);
        return 2;
    }
    const bool midi = std::string(argv[2]) == "--midi";
    const int repeats = std::max(1, std::atoi(argv[midi ? 4 : 3]));
    aerie::RenderJob job;
    std::vector<std::vector<float>> noise;
    std::vector<const float*> inputs;
    if (midi) {
        job.midiFile = argv[3];
    } else {
        const auto frames = static_cast<std::size_t>(std::atof(argv[2]) * job.sampleRate);
        std::uint32_t seed = 7;
        noise.assign(2, std::vector<float>(frames));
        for (auto& channel : noise) {
            for (float& x : channel) {
                seed = seed * 1664525u + 1013904223u;
                x = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
            }
            inputs.push_back(channel.data());
        }
        job.inputBuffers = inputs.data();
        job.inputChannels = 2;
        job.inputFrames = frames;
        job.tailSeconds = 0.0;
    }
    try {
        std::unique_ptr<aerie::LoadedModule> module = aerie::loadRenderModule(job, argv[1], 0, 1, {});
        aerie::RenderChain chain;
        chain.modules = {module.get()};
        job.chain = &chain;
        job.leaveRunning = true;
        std::unique_ptr<float[]> out;
        std::size_t length = 0;  // frames per channel
        std::size_t written = 0;
        job.sink = [&](const float* const* c, int count, std::size_t n) {
            for (int k = 0; k < count; ++k) std::memcpy(out.get() + k * length + written, c[k], n * sizeof(float));
            written += n;
        };
        double best = 1e9;
        for (int r = 0; r < repeats; ++r) {
            const auto t0 = std::chrono::steady_clock::now();
            aerie::PlannedRender plan = aerie::planRender(job);
            aerie::RenderSession session(job, plan, {});
            session.load();
            // A fresh buffer each time, as a caller that keeps the result
            // needs (not cleared: the render fills it, as in Python).
            out.reset();
            length = plan.frames;
            out.reset(new float[static_cast<std::size_t>(session.outputChannels()) * length]);
            written = 0;
            (void)session.render();
            session.finish();
            best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        }
        std::printf("%.6f\n", best);
    } catch (const aerie::HostError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
