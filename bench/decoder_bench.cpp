// Decoder throughput: records per second through the stream reader's store of the latest record
// (the trend history closed, as it is by default), against a
// plain stringstream-and-getline decoder that is first shown to leave the same values on the
// same blocks. Both take one lock per record, as the bridge must.
#include "bench_report.h"
#include "measurement_record.h"
#include "trend_model.h"

#include <chrono>
#include <cstring>
#include <random>
#include <sstream>

namespace
{

constexpr int kValueCount = 5;
constexpr int kRuns = 5;
constexpr double kSecondsPerRun = 0.3;
constexpr int kReceiveSize = 512; // what one receive of the stream reader hands over

// The measurement members as a decoder leaves them.
struct Measurement {
    bool scannerOk;
    bool recognitionOk;
    double values[kValueCount]; // X, Z, gap width, Z difference, area
};

bool Same(const Measurement& a, const Measurement& b)
{
    return a.scannerOk == b.scannerOk && a.recognitionOk == b.recognitionOk &&
           std::memcmp(a.values, b.values, sizeof a.values) == 0;
}

// The obvious decoder: keep what follows the last ';' for the next block, split with getline,
// parse each field with strtol or strtod.
class ReferenceDecoder
{
public:
    void Decode(const char* buff, int len)
    {
        const std::string block(buff, size_t(len));
        const size_t last = block.rfind(';');
        m_tail += block;
        if (last == std::string::npos)
            return;
        const size_t end = m_tail.size() - (block.size() - last - 1);
        DecodeRecords(m_tail.substr(0, end));
        m_tail.erase(0, end);
    }

    void DecodeRecords(const std::string& text)
    {
        std::stringstream records(text);
        std::string record;
        while (std::getline(records, record, ';')) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_scannerOk = true;
            std::stringstream fields(record);
            std::string field;
            bool statusGood = false;
            for (int position = 0; std::getline(fields, field, ','); ++position) {
                if (position == 0)
                    statusGood = std::strtol(field.c_str(), nullptr, 10) == 0;
                else if (position <= kValueCount)
                    m_values[position - 1] = std::strtod(field.c_str(), nullptr);
            }
            const double z = m_values[1];
            m_recognitionOk = statusGood && (z > 0.0 || z < 0.0);
        }
    }

    Measurement Read()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Measurement state{m_scannerOk, m_recognitionOk, {}};
        std::memcpy(state.values, m_values, sizeof m_values);
        return state;
    }

private:
    std::string m_tail;
    std::mutex m_mutex;
    bool m_scannerOk = false;
    std::atomic<bool> m_recognitionOk{false};
    double m_values[kValueCount] = {};
};

} // namespace

namespace
{

// A stream as the vision application sends it under load: mostly recognised joints with three
// decimals, now and then a failed evaluation, cut into pieces of one receive each.
std::vector<std::string> StreamBlocks(int recordCount)
{
    std::mt19937 random(20240611);
    std::uniform_real_distribution<double> millimetres(-40.0, 40.0);
    std::string stream;
    char record[128];
    for (int i = 0; i < recordCount; ++i) {
        std::snprintf(record, sizeof record, "%d,%.3f,%.3f,%.3f,%.3f,%.3f;", i % 50 == 0 ? 1 : 0,
                      millimetres(random), millimetres(random) + 50.0, millimetres(random) / 20.0,
                      millimetres(random) / 40.0, millimetres(random) + 60.0);
        stream += record;
    }
    std::vector<std::string> blocks;
    for (size_t at = 0; at < stream.size(); at += kReceiveSize)
        blocks.push_back(stream.substr(at, kReceiveSize));
    return blocks;
}

// Blocks that take the odd paths: a record cut before the first ';', missing and extra
// fields, words, special numbers, empty records, a NUL byte, records split over blocks.
std::vector<std::string> OddBlocks()
{
    return {"0,1.5,2.25",
            "0,1.5,2.25,0.8,-0.1,3.2;",
            "1,1.5,2.25,0.8,-0.1,3.2;",
            "false,1,2,3,4,5",
            "0,1.5,0,0.8,-0.1,3.2;",
            "0,1.5",
            "0,1,2,3,4,5;0,6,7,8,9,10;",
            ";;",
            "0,1,2;\n",
            "0,1.5,2.",
            "25,0.8,-0.1,3.2;",
            "0,1,2,3,4,5,6,7,8;",
            " 0, 1e3,inf,-nan,INFINITY,0x1p3;",
            "-0,+1.5mm,  2.5 ,,,",
            std::string("0,1\0,2,3", 9),
            "2,\r\n3.5,4.5;",
            ",",
            "7"};
}

// Records that a block completes: the stream's blocks cut records apart, and each is counted
// once, when its ';' comes.
long RecordsIn(const std::string& block)
{
    return long(std::count(block.begin(), block.end(), ';'));
}

// As the robot reads it with the laser off: the last record as it stands.
// What the stream reader stores each record into.
struct Store {
    measurement::LatestRecord latest;
    trend::TrendModel trend;

    void Decode(const std::string& block)
    {
        latest.Feed(block.data(), int(block.size()), measurement::Clock::now(),
                    [this](measurement::Clock::time_point decoded,
                           const measurement::Values& values,
                           bool recognised) { trend.NoteRecord(decoded, values, recognised); });
    }
};

Measurement Read(Store& store)
{
    const measurement::Reading reading = store.latest.Read({}, measurement::Clock::now(), false);
    Measurement state{reading.arrived, reading.recognised, {}};
    std::copy(reading.values.begin(), reading.values.end(), state.values);
    return state;
}

bool DecodersAgree(Store* store, std::vector<std::string> blocks)
{
    ReferenceDecoder reference;
    for (std::string& block : blocks) {
        store->Decode(block);
        reference.Decode(block.data(), int(block.size()));
        if (!Same(Read(*store), reference.Read())) {
            std::fprintf(stderr, "decoders differ after the block \"%s\"\n", block.c_str());
            return false;
        }
    }
    return true;
}

// Records per second of decode over the blocks, repeated for about kSecondsPerRun.
template <typename Decode> double RecordsPerSecond(std::vector<std::string>* blocks, Decode decode)
{
    long recordsPerPass = 0;
    for (const std::string& block : *blocks)
        recordsPerPass += RecordsIn(block);
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    long records = 0;
    double seconds = 0.0;
    while (seconds < kSecondsPerRun) {
        for (std::string& block : *blocks)
            decode(&block);
        records += recordsPerPass;
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
    }
    return double(records) / seconds;
}

} // namespace

int main()
{
    Store store;

    std::vector<std::string> blocks = StreamBlocks(3000);
    std::vector<std::string> checked = OddBlocks();
    checked.insert(checked.end(), blocks.begin(), blocks.end());
    if (!DecodersAgree(&store, checked))
        return 1;

    std::vector<double> bridgeRates, referenceRates, ratios;
    ReferenceDecoder reference;
    for (int run = 0; run < kRuns; ++run) {
        referenceRates.push_back(RecordsPerSecond(&blocks, [&](std::string* block) {
            reference.Decode(block->data(), int(block->size()));
        }));
        bridgeRates.push_back(
            RecordsPerSecond(&blocks, [&](std::string* block) { store.Decode(*block); }));
        ratios.push_back(bridgeRates.back() / referenceRates.back());
    }
    const double rate = bench::Median(bridgeRates);
    const double ratio = bench::Median(ratios);
    bench::PrintRow("Decoder throughput (records/s, one core)", bench::Format("%.3g", rate),
                    bench::Format("%.3g getline", bench::Median(referenceRates)),
                    bench::Format("%.1fx", ratio), ">= 2e6 and >= 5x",
                    bench::Judge(rate >= 2e6 && ratio >= 5.0));
    return 0;
}
