// The simulated site: a board keeping the four input files current from a
// scenario, and a supply on a pseudo-terminal for each device. It owns the
// `supply` command, the one way to change how a supply answers.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "board_simulator.h"
#include "events.h"
#include "output.h"
#include "scenario.h"
#include "site_config.h"
#include "supply_simulator.h"

namespace smdhost {

class Simulation {
public:
    // A command line due in the scenario ("supply MODE" for supply steps).
    using Queue = std::function<void(const std::string& command)>;
    static constexpr const char* kSupplyUsage = "supply echo|wrong|silent";

    explicit Simulation(EventSink& events) : events_(events) {}
    ~Simulation() { stop(); }
    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;

    // A supply for each device, its settings' serial port pointed at it;
    // before the devices are made.
    void addSupplies(std::vector<DeviceConfig>& devices);
    // The board on /tmp/plor_ai1..4, from the scenario's time 0 on.
    void startBoard(const Scenario& scenario, Queue queue);

    // `supply MODE` for a device; false when the words are no such command.
    bool supplyCommand(const std::string& device, const std::vector<std::string>& args,
                       Output& out);

    // The board first (it queues commands), then the supplies.
    void stop();

    SupplySimulator* supply(const std::string& device);

private:
    EventSink& events_;
    std::unique_ptr<BoardSimulator> board_;
    std::map<std::string, std::unique_ptr<SupplySimulator>> supplies_;
};

}  // namespace smdhost
