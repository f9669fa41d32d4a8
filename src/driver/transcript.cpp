#include "driver/transcript.hpp"

#include <ostream>

#include "io/write_queue.hpp"

namespace cirsharp {

void Transcript::say(std::string line) {
    if (queue_)
        queue_->print(std::move(line));
    else
        out_ << line << '\n' << std::flush;
}

void Transcript::did_not_open(const std::string& path) {
    say(path + "  Did not Open");
}

void Transcript::allocations(const std::array<bool, 8>& had) {
    for (const bool ok : had)
        say(ok ? "Muistinvaraus onnistui" : "Muistinvaraus ei onnistunut");
}

void Transcript::pan_scanned(const PanScan& found, const std::string& pan16) {
    say("PAN Maximum:  " + std::to_string(found.limits.maximum));
    say("PAN Minimum:  " + std::to_string(found.limits.minimum));
    say("Tiilityksen purku");
    say("With simoultaneous output of  " + pan16);
}

void Transcript::pan8_begins(const std::string& pan8) {
    say("Done, now writing output of  " + pan8);
    say("Kopioin PAN datan");
}

void Transcript::pan_done() {
    say("Copying of PAN Done! Proceeding with CIR, reading it");
}

void Transcript::rgbir_done() {
    say("RGBIR uint(16) Written! Proceeding with CIR uint8");
}

void Transcript::stretch_limits(const BandLimits& limits) {
    std::string text;
    for (const int band : {kRed, kGreen, kBlue, kNir})
        text += std::to_string(limits.minimum[band]) + ' ';
    for (const int band : {kRed, kGreen, kBlue, kNir})
        text += std::to_string(limits.maximum[band]) + ' ';
    text.pop_back();
    say(std::move(text));
}

void Transcript::cir_done() {
    say("RGB CIR uint8 Written! Proceeding with PANsharpened CIR in RGB uint8");
}

void Transcript::sharpened_computed() {
    say("Wrinting PANsharpened CIR");
}

}  // namespace cirsharp
