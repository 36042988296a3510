// Loads a plug-in module with aerie and renders one second through it: a
// note for an instrument, a 440 Hz tone for an effect. Prints the peak of
// the output and exits 0 when something came out, 1 when the output is
// silent or not finite, 2 when the module cannot be used.
//
//     consumer MODULE
// [doc:consumer]
#include <cmath>
#include <cstdio>
#include <vector>

#include <aerie/aerie.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: consumer MODULE\n");
        return 2;
    }
    try {
        const double rate = 44100.0;
        const std::int32_t block = 512;

        // A module, an instance, and the host side that answers it.
        const std::unique_ptr<aerie::Module> module = aerie::Module::open(argv[1]);
        aerie::Host host;
        aerie::Instance plugin(*module, host);

        // The lifecycle: open, configure, resume ... suspend, close.
        plugin.open();
        plugin.configure(rate, block);
        const aerie::Identity id = plugin.identity();
        std::printf("%s by %s: %d in, %d out\n", id.effectName.c_str(), id.vendor.c_str(), plugin.numInputs(),
                    plugin.numOutputs());
        plugin.resume();

        // One buffer per pin; an effect hears a tone, an instrument a note.
        std::vector<std::vector<float>> in(static_cast<std::size_t>(plugin.numInputs()), std::vector<float>(block));
        std::vector<std::vector<float>> out(static_cast<std::size_t>(plugin.numOutputs()), std::vector<float>(block));
        std::vector<float*> inputs, outputs;
        for (auto& b : in) inputs.push_back(b.data());
        for (auto& b : out) outputs.push_back(b.data());

        aerie::EventList events;
        events.addNoteOn(0, 69, 100);
        float peak = 0.0f;
        bool finite = true;
        for (std::int64_t frame = 0; frame < static_cast<std::int64_t>(rate); frame += block) {
            for (auto& b : in) {
                for (std::int32_t i = 0; i < block; ++i) {
                    b[static_cast<std::size_t>(i)] =
                        0.5f * static_cast<float>(std::sin(2.0 * 3.14159265358979 * 440.0 * static_cast<double>(frame + i) / rate));
                }
            }
            if (frame == 0) plugin.sendEvents(events);
            plugin.processBlock(inputs.data(), outputs.data(), block);
            for (const auto& b : out) {
                for (float s : b) {
                    finite = finite && std::isfinite(s);
                    peak = std::fmax(peak, std::fabs(s));
                }
            }
        }
        plugin.suspend();
        plugin.close();
        std::printf("peak %.4f\n", static_cast<double>(peak));
        return finite && peak > 0.0f ? 0 : 1;
    } catch (const aerie::HostError& e) {
        // Every failure of the library has a kind and a one-line message.
        std::fprintf(stderr, "consumer: %s (%s)\n", e.what(), aerie::errorKindName(e.kind()));
        return 2;
    }
}
// [/doc:consumer]
