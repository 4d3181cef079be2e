// Calibration of the four analog inputs from the "appSetting" object.
#include <cmath>
#include <cstdint>
#include <mutex>
#include <string>

#include "numbers.h"
#include "plor_sps.h"

namespace {

// One channel's points and coefficients, worked on away from the device so
// that a rejected document leaves the device as it was.
struct Channel {
    int32_t x1, x2;
    float y1, y2;
    float a, b;
};

struct Calibration {
    Channel ch[4];
};

// Two raw points define the line value = a * raw + b. The difference of the
// points is formed in 64 bits: the full int32 range must not overflow.
void derive(Channel& c) {
    const float d21 = static_cast<float>(int64_t{c.x2} - int64_t{c.x1});
    const float d12 = static_cast<float>(int64_t{c.x1} - int64_t{c.x2});
    // One rounding per operation, in this order; kept as separate statements
    // so no compiler fuses them into a multiply-add.
    const float rise = c.y2 - c.y1;
    c.a = rise / d21;
    const float p2 = c.y2 * static_cast<float>(c.x1);
    const float p1 = c.y1 * static_cast<float>(c.x2);
    const float num = p2 - p1;
    c.b = num / d12;
}

void readInt(const Json::Value& app, const char* key, int32_t& out) {
    const Json::Value& v = app[key];
    if (!v.isNull()) out = plor::parseInt32(v.asString().c_str());
}

void readFloat(const Json::Value& app, const char* key, float& out) {
    const Json::Value& v = app[key];
    if (!v.isNull()) out = plor::parseFloat(v.asString().c_str());
}

// Keys in the order the document is read; a key holding an array or an
// object throws from asString().
void readKeys(const Json::Value& app, Calibration& cal) {
    static const char* const points[4][4] = {{"ai1x1", "ai1x2", "ai1y1", "ai1y2"},
                                             {"ai2x1", "ai2x2", "ai2y1", "ai2y2"},
                                             {"ai3x1", "ai3x2", "ai3y1", "ai3y2"},
                                             {"ai4x1", "ai4x2", "ai4y1", "ai4y2"}};
    static const char* const coefficients[4][2] = {{"a1", "b1"}, {"a2", "b2"}, {"a3", "b3"},
                                                   {"a4", "b4"}};
    for (int i = 0; i < 4; ++i) {
        Channel& c = cal.ch[i];
        readInt(app, points[i][0], c.x1);
        readInt(app, points[i][1], c.x2);
        readFloat(app, points[i][2], c.y1);
        readFloat(app, points[i][3], c.y2);
    }
    for (int i = 0; i < 4; ++i) {
        readFloat(app, coefficients[i][0], cal.ch[i].a);
        readFloat(app, coefficients[i][1], cal.ch[i].b);
    }
}

// A NaN or infinite value or coefficient would give readings no alarm limit
// can ever catch: such a document is refused. Names the first one, or "".
std::string nonFinite(const Calibration& cal) {
    static const char* const names[4][4] = {{"ai1y1", "ai1y2", "a1", "b1"},
                                            {"ai2y1", "ai2y2", "a2", "b2"},
                                            {"ai3y1", "ai3y2", "a3", "b3"},
                                            {"ai4y1", "ai4y2", "a4", "b4"}};
    for (int i = 0; i < 4; ++i) {
        const Channel& c = cal.ch[i];
        const float values[4] = {c.y1, c.y2, c.a, c.b};
        for (int k = 0; k < 4; ++k) {
            if (!std::isfinite(values[k])) return std::string(names[i][k]) + " is not finite";
        }
    }
    return std::string();
}

}  // namespace

bool PLOR_SPS::InitSetting(const Json::Value& settings) {
    const unsigned int id = DataId();
    {
        std::lock_guard<std::mutex> lock(snapshotMutex_);
        record_.dataId = id;
    }

    Calibration cal;
    {
        std::lock_guard<std::mutex> lock(snapshotMutex_);
        cal.ch[0] = {ai1x1_, ai1x2_, ai1y1_, ai1y2_, a1_, b1_};
        cal.ch[1] = {ai2x1_, ai2x2_, ai2y1_, ai2y2_, a2_, b2_};
        cal.ch[2] = {ai3x1_, ai3x2_, ai3y1_, ai3y2_, a3_, b3_};
        cal.ch[3] = {ai4x1_, ai4x2_, ai4y1_, ai4y2_, a4_, b4_};
    }

    // Reads and derives on the copy; the channel 3 line waits until applied.
    auto read = [&settings, &cal](SettingsLines& lines) -> std::string {
        const Json::Value& app = settings["appSetting"];
        if (app.isNull() || !app.isObject()) return std::string();
        readKeys(app, cal);
        for (int i = 0; i < 4; ++i) {
            Channel& c = cal.ch[i];
            if (c.x1 == c.x2) continue;
            derive(c);
            if (i == 2) {
                lines.push_back("ai3y2_:" + plor::generalText(c.y2, 6) +
                                " ai3y1_:" + plor::generalText(c.y1, 6) +
                                " ai3x2_:" + std::to_string(c.x2) +
                                " ai3x1_:" + std::to_string(c.x1));
            }
        }
        return nonFinite(cal);
    };

    // Runs under snapshotMutex_, only once the generic settings read cleanly too.
    auto commit = [this, &cal] {
        const Channel* c = cal.ch;
        ai1x1_ = c[0].x1, ai1x2_ = c[0].x2, ai1y1_ = c[0].y1, ai1y2_ = c[0].y2;
        ai2x1_ = c[1].x1, ai2x2_ = c[1].x2, ai2y1_ = c[1].y1, ai2y2_ = c[1].y2;
        ai3x1_ = c[2].x1, ai3x2_ = c[2].x2, ai3y1_ = c[2].y1, ai3y2_ = c[2].y2;
        ai4x1_ = c[3].x1, ai4x2_ = c[3].x2, ai4y1_ = c[3].y1, ai4y2_ = c[3].y2;
        a1_ = c[0].a, b1_ = c[0].b, a2_ = c[1].a, b2_ = c[1].b;
        a3_ = c[2].a, b3_ = c[2].b, a4_ = c[3].a, b4_ = c[3].b;
    };
    return applySettings(settings, read, commit);
}
