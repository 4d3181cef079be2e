// Writes a history of DAYS days of one round a second per device, ending
// now, through the store as a run stores it (a commit every ten seconds'
// rounds, a clean end), and prints its size per stored round. For
// scripts/measure-history.py.
//   history_fill DB DAYS [DEVICES]
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "history_store.h"
#include "record_stamp.h"

namespace {

long long fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

// Smooth daily swings, and a ten-minute mains failure every day.
std::vector<unsigned char> recordAt(long long t, unsigned device) {
    std::vector<unsigned char> img(37, 0);
    const double day = 6.283185307179586 * static_cast<double>(t % 86400) / 86400.0;
    const bool mainsDown = t % 86400 >= 43200 && t % 86400 < 43800;
    const float v[5] = {static_cast<float>(25 + 5 * std::sin(day)), static_cast<float>(50 + 3 * std::cos(day)),
                        mainsDown ? 51.0f : 53.5f, mainsDown ? 0.0f : 220.0f, mainsDown ? 0.0f : 12.0f};
    img[0] = static_cast<unsigned char>(device);
    std::memcpy(&img[4], v, sizeof v);
    img[28] = mainsDown ? 1 : 0;
    smdtest::stampRecord(img, t, true);
    return img;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: history_fill DB DAYS [DEVICES]\n");
        return 2;
    }
    const std::string path = argv[1];
    const long long days = std::atoll(argv[2]);
    const unsigned devices = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 1;
    const long long end = static_cast<long long>(std::time(nullptr)), start = end - days * 86400 + 1;
    try {
        smdhost::HistoryStore store(path, false);
        store.beginRun("fill");
        std::vector<smdhost::HistoryRow> batch;
        for (long long t = start; t <= end; ++t) {
            for (unsigned d = 1; d <= devices; ++d) {
                smdhost::HistoryRow row;
                row.device = "sps" + std::to_string(d);
                row.dataId = d;
                row.source = "round";
                row.at = smdhost::localText(t, 250);
                row.image = recordAt(t, d);
                batch.push_back(std::move(row));
            }
            if ((t - start) % 10 == 9) {
                store.add(batch);
                batch.clear();
            }
        }
        store.add(batch);
        store.endRun();
        const long long rounds = store.countRounds("");
        store.close();
        const long long bytes = fileSize(path) + fileSize(path + "-wal");
        std::printf("%lld rounds, %lld bytes, %.1f bytes per round\n", rounds, bytes,
                    static_cast<double>(bytes) / static_cast<double>(rounds));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "history_fill: %s\n", e.what());
        return 1;
    }
    return 0;
}
