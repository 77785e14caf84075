// kvrt-wavgen: writes the terminal's two feedback sounds as 16-bit mono PCM WAV
// files, so that the installed sounds are built from source like everything else.
//
//   kvrt-wavgen valid FILE     a rising two-note chime (accepted ticket, confirmations)
//   kvrt-wavgen invalid FILE   a low buzz (refused ticket)
//
// Both stay well under a second: a passenger should not wait for the sound to end.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace {

constexpr int SampleRate = 22050;
constexpr double Pi = 3.14159265358979323846;

using Samples = std::vector<double>;

// A struck note: quick attack, exponential decay, a little second harmonic for a
// bell-like colour.
void addChimeNote(Samples& out, double startSec, double durationSec, double frequency)
{
    const int first = static_cast<int>(startSec * SampleRate);
    const int count = static_cast<int>(durationSec * SampleRate);
    for (int i = 0; i < count && first + i < static_cast<int>(out.size()); ++i) {
        const double t = static_cast<double>(i) / SampleRate;
        const double attack = std::min(1.0, t / 0.005);
        const double envelope = attack * std::exp(-t * 7.0);
        const double wave
            = std::sin(2 * Pi * frequency * t) + 0.3 * std::sin(4 * Pi * frequency * t);
        out[first + i] += 0.45 * envelope * wave;
    }
}

Samples validChime()
{
    Samples out(static_cast<size_t>(0.65 * SampleRate), 0.0);
    addChimeNote(out, 0.00, 0.30, 659.25); // E5
    addChimeNote(out, 0.15, 0.50, 987.77); // B5: the rise says "yes"
    return out;
}

// A band-limited square wave at a low pitch, softened at both ends so that it
// does not click.
Samples invalidBuzz()
{
    const double frequency = 150.0;
    const double durationSec = 0.5;
    const double edgeSec = 0.02;
    Samples out(static_cast<size_t>(durationSec * SampleRate), 0.0);
    for (size_t i = 0; i < out.size(); ++i) {
        const double t = static_cast<double>(i) / SampleRate;
        double wave = 0;
        for (int k = 1; k * frequency < 4000.0; k += 2)
            wave += std::sin(2 * Pi * k * frequency * t) / k;
        const double edge = std::min({1.0, t / edgeSec, (durationSec - t) / edgeSec});
        out[i] = 0.5 * edge * wave;
    }
    return out;
}

void putLE(std::vector<char>& bytes, uint32_t value, int size)
{
    for (int i = 0; i < size; ++i)
        bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

void putTag(std::vector<char>& bytes, const char* tag)
{
    bytes.insert(bytes.end(), tag, tag + 4);
}

std::vector<char> wavFile(const Samples& samples)
{
    const uint32_t dataSize = static_cast<uint32_t>(samples.size() * 2);
    std::vector<char> bytes;
    putTag(bytes, "RIFF");
    putLE(bytes, 36 + dataSize, 4);
    putTag(bytes, "WAVE");
    putTag(bytes, "fmt ");
    putLE(bytes, 16, 4); // chunk size
    putLE(bytes, 1, 2); // PCM
    putLE(bytes, 1, 2); // mono
    putLE(bytes, SampleRate, 4);
    putLE(bytes, SampleRate * 2, 4); // byte rate
    putLE(bytes, 2, 2); // block align
    putLE(bytes, 16, 2); // bits per sample
    putTag(bytes, "data");
    putLE(bytes, dataSize, 4);
    for (double s : samples) {
        const double clipped = std::max(-1.0, std::min(1.0, s));
        putLE(bytes, static_cast<uint16_t>(static_cast<int16_t>(std::lround(clipped * 32767))), 2);
    }
    return bytes;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 3 || (std::strcmp(argv[1], "valid") != 0 && std::strcmp(argv[1], "invalid") != 0)) {
        std::fprintf(stderr, "usage: %s valid|invalid FILE\n", argv[0]);
        return 2;
    }
    const bool valid = std::strcmp(argv[1], "valid") == 0;
    const std::vector<char> bytes = wavFile(valid ? validChime() : invalidBuzz());

    std::ofstream file(argv[2], std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[2]);
        return 1;
    }
    return 0;
}
