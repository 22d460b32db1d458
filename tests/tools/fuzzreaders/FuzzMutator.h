#pragma once
// The inputs of the reader fuzzer: every input is derived from the reader's
// seed corpus by its index alone, so a failing input can be made again from
// its reader and index (the supervisor writes out what a crashed worker was
// running) and the same run gives the same inputs on every machine.
//
// Input 4k reads as a truncation while any is left: the seeds cut at every
// byte, seed after seed. Every other input is one seed (or two, spliced)
// changed by one to three mutations.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// How a reader's text is built, for the mutations that look for its units.
enum class TShape : uint8_t {
    Xml,    // tags "<...>" and attributes name="value"
    Lines,  // "key=value" or "Name: value" lines
    Base64, // one token of four-character groups
    Png,    // PNG chunks: after the mutations most inputs get their chunks' CRCs
            // made right again, so that the decoder reads past its checks
};

struct TSeed {
    std::string Name; // the file name
    std::string Bytes;
};

struct TInput {
    std::string Bytes;
    std::string Seed;   // name of the seed it came from
    std::string Recipe; // the mutations, for the evidence file
};

class TMutator {
public:
    // Seeds must not be empty; MaxSize bounds every input (the reader's own
    // limit on what it is handed).
    TMutator(std::string_view Reader, std::vector<TSeed> Seeds, TShape Shape,
             std::vector<std::string> Dictionary, size_t MaxSize);

    TInput Make(uint64_t Index) const;
    // The number of truncation inputs (every byte of every seed).
    uint64_t TruncationCount() const noexcept { return truncations_; }
    const std::vector<TSeed>& Seeds() const noexcept { return seeds_; }

private:
    class TRandom;
    void Mutate(TRandom& Random, TInput& Input) const;
    void MutatePng(TRandom& Random, TInput& Input) const;

    std::vector<TSeed> seeds_;
    TShape shape_;
    std::vector<std::string> dictionary_;
    size_t maxSize_;
    uint64_t readerSeed_;
    uint64_t truncations_ = 0;
};

// The fixed seed of every run.
inline constexpr uint64_t kRunSeed = 20251211;

} // namespace fuzz
