// How well the 4x4 transform blocks of decoded pictures fit together, for
// telling parameter sets that decode without errors apart. Pictures are
// measured as the residual left them (the caller turns the loop filter off).
//
// Steps between neighbouring luma samples are summed by their position
// against the 4x4 block grid, both directions: a picture decoded as it was
// coded has about the same steps everywhere, whatever its content; a wrong
// bit depth or wrong scaling matrices scale each block's residual wrongly,
// which shows as steps across block edges (blocks that miss their
// neighbours) or as large steps inside them (a too steep matrix rings
// around every edge).
//
// Thread: any; one object per measurement. Errors: none.
#pragma once

#include <array>
#include <cstdint>

namespace tv {

struct PictureMeasure {
    // plane: luma samples of `depth` bits (bytes at 8 bits, else 16-bit words).
    void add(const uint8_t* plane, int stride, int width, int height, int depth);

    // Mean step across 4x4 block edges against the mean step inside blocks,
    // each with half an 8-bit code value added: about 1 for a picture decoded
    // as it was coded (1.1 to 2.4 measured), well above for a plainly wrong
    // one; near 1 on a flat picture, which tells nothing. 0 when nothing was
    // measured.
    double edgeRatio() const;
    // Mean squared and fourth power of the steps inside blocks (8-bit code
    // values): the fourth power grows with the large steps of ringing.
    double insideSquare() const { return mean(sq); }
    double insideFourth() const { return mean(q4); }
    // The share of steps of at least half the sample range (a black sample
    // beside a white one): rare in a camera's pictures, everywhere in
    // residuals scaled several times too large.
    double cliffShare() const { return n[0] + n[1] > 0 ? cliffs / (n[0] + n[1]) : 0; }
    // Mean distance of the samples from mid-grey (8-bit code values).
    double greyDistance() const { return samples > 0 ? grey / samples : 0; }

private:
    template <class T>
    void scan(const uint8_t* plane, int stride, int width, int height, double unit);
    double mean(const std::array<double, 2>& s) const { return n[1] > 0 ? s[1] / n[1] : 0; }
    // [0]: across block edges, [1]: inside blocks.
    std::array<double, 2> abs{}, sq{}, q4{}, n{};
    double cliffs = 0, grey = 0, samples = 0;
};

}  // namespace tv
