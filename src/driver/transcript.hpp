// The progress lines of a run, in the converter's long-standing wording,
// each made from what the run found. Once a write queue is followed, a line
// is printed after the writes queued before it (so a killed run's log ends
// with the last stage it finished); before that, at once. Every line is
// flushed as it is printed.
#pragma once

#include <array>
#include <iosfwd>
#include <string>

#include "colour/colour_stage.hpp"
#include "pan/pan_stage.hpp"

namespace cirsharp {

namespace io {
class WriteQueue;
}

class Transcript {
  public:
    explicit Transcript(std::ostream& out) : out_(out) {}
    virtual ~Transcript() = default;
    Transcript(const Transcript&) = delete;
    Transcript& operator=(const Transcript&) = delete;

    std::ostream& stream() { return out_; }
    // Prints through `queue` from now on; null prints at once again.
    void follow(io::WriteQueue* queue) { queue_ = queue; }

    void did_not_open(const std::string& path);
    // One line for each of the eight work buffers, whether it could be had.
    void allocations(const std::array<bool, 8>& had);
    void pan_scanned(const PanScan& found, const std::string& pan16);
    void pan8_begins(const std::string& pan8);
    void pan_done();
    void rgbir_done();
    // The eight limits of the composite's stretch (stretch_limits()).
    void stretch_limits(const BandLimits& limits);
    void cir_done();
    void sharpened_computed();

  protected:
    // One line, '\n' added.
    virtual void say(std::string line);

  private:
    std::ostream& out_;
    io::WriteQueue* queue_ = nullptr;
};

}  // namespace cirsharp
