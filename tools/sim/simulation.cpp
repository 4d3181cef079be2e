#include "simulation.h"

namespace smdhost {

void Simulation::addSupplies(std::vector<DeviceConfig>& devices) {
    for (auto& cfg : devices) {
        if (!cfg.settings.isObject()) continue;
        Json::Value& host = cfg.settings["hostSetting"];
        if (!host.isObject()) host = Json::Value(Json::objectValue);
        const int slave = host["slaveAddress"].isInt() ? host["slaveAddress"].asInt() : 1;
        const std::string name = cfg.name;
        auto supply = std::make_unique<SupplySimulator>(name, slave, [this, name](const std::string& t) {
            Json::Value j;
            j["event"] = "supply";
            events_.onEvent(NoteEvent{name, "supply: " + t, j});
        });
        supply->start();
        host["serialPort"] = supply->portPath();
        supplies_[name] = std::move(supply);
    }
}

void Simulation::startBoard(const Scenario& scenario, Queue queue) {
    board_ = std::make_unique<BoardSimulator>(
        scenario,
        std::array<std::string, 4>{{"/tmp/plor_ai1", "/tmp/plor_ai2", "/tmp/plor_ai3", "/tmp/plor_ai4"}},
        [queue](const ScenarioStep& step) {
            queue(step.type == ScenarioStep::supply ? "supply " + step.text : step.text);
        });
    board_->start();
    events_.onEvent(NoteEvent{std::string(),
                              "simulating scenario '" + scenario.name + "' on /tmp/plor_ai1..4",
                              Json::Value()});
}

bool Simulation::supplyCommand(const std::string& device, const std::vector<std::string>& args,
                               Output& out) {
    if (args.size() != 1) return false;
    SupplySimulator::Mode mode;
    if (!SupplySimulator::parseMode(args[0], mode)) {
        out.text(std::string("usage: ") + kSupplyUsage);
        return true;
    }
    SupplySimulator* s = supply(device);
    if (s == nullptr) {
        out.text(device + " has no simulated supply");
        return true;
    }
    s->setMode(mode);
    events_.onEvent(NoteEvent{device, "supply now answers: " + args[0], Json::Value()});
    return true;
}

SupplySimulator* Simulation::supply(const std::string& device) {
    auto it = supplies_.find(device);
    return it == supplies_.end() ? nullptr : it->second.get();
}

void Simulation::stop() {
    board_.reset();
    supplies_.clear();
}

}  // namespace smdhost
