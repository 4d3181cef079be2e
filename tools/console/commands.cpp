#include "commands.h"

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <vector>

#include "clock_text.h"
#include "console.h"
#include "host_codes.h"

namespace smdhost {

bool parseWord(const std::string& text, uint16_t& out) {
    if (text.empty()) return false;
    // A leading zero does not mean octal.
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || v < 0 || v > 0xffff) return false;
    out = static_cast<uint16_t>(v);
    return true;
}

void Commands::note(Device& d, const std::string& text, Json::Value extra) {
    events_.onEvent(NoteEvent{d.cfg.name, text, std::move(extra)});
}

void Commands::result(Device& d) {
    bool known = false;
    const int outcome = queryOutcome(d, known);
    const char* meaning = !known          ? "not reported"
                          : outcome == 1  ? "confirmed"
                          : outcome == 3  ? "not confirmed"
                          : outcome == -1 ? "none: no write yet, still waiting, or no reply"
                                          : "unknown";
    Json::Value j;
    j["event"] = "last-write";
    if (known) j["outcome"] = outcome;
    j["result"] = meaning;
    note(d,
         "last write outcome: " + (known ? std::to_string(outcome) : std::string("?")) + " (" +
             meaning + ")",
         j);
}

void Commands::snapshot(Device& d, bool raw) {
    std::vector<char> buf(512);
    int outLength = 0;
    int rc = d.control(kSnapshotCode, nullptr, 0, buf.data(), static_cast<int>(buf.size()),
                       outLength);
    if (rc == -1 && outLength > static_cast<int>(buf.size())) {
        buf.resize(static_cast<std::size_t>(outLength));
        rc = d.control(kSnapshotCode, nullptr, 0, buf.data(), static_cast<int>(buf.size()),
                       outLength);
    }
    if (rc != 0 || outLength < 0 || outLength > static_cast<int>(buf.size())) {
        note(d, "snapshot not available (control " + std::to_string(kSnapshotCode) +
                    " returned " + std::to_string(rc) + ")");
        return;
    }
    std::string text(buf.data(), static_cast<std::size_t>(outLength));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    Json::Value j;
    j["event"] = "snapshot";
    Json::Value parsed;
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    std::string errs;
    std::string shown = text.empty() ? std::string("(empty)") : text;
    // The readable form re-renders the text (names unescaped, numbers
    // shortened), so it says so; --raw shows the plug-in's own bytes.
    std::string form = "plug-in's text";
    if (raw) {
        j["raw"] = text;
    } else if (reader->parse(text.data(), text.data() + text.size(), &parsed, &errs)) {
        j["snapshot"] = parsed;
        shown = Console::jsonLine(parsed);
        form = "re-rendered";
    } else {
        j["raw"] = text;
    }
    j["form"] = form == "re-rendered" ? "readable" : "raw";
    // How old the values are, whatever the plug-in says.
    const double age = d.freshness.age(Freshness::Clock::now());
    const bool stale = d.freshness.stale();
    j["ageSeconds"] = age < 0 ? Json::Value() : Json::Value(age);
    j["stale"] = stale;
    note(d, "snapshot (" + form + "): " + shown +
                (age < 0 ? std::string("  (no round yet)")
                         : "  (age " + ageText(age) + (stale ? ", STALE)" : ")")),
         j);
}

void Commands::help() {
    std::string extra;
    for (const auto& c : extras_) extra += "  " + c.help + "\n";
    out_.text("commands (prefix with NAME: to address another device):\n"
              "  write ADDR VALUE         write one register (control " +
              std::to_string(kWriteRegisterCode) +
              ")\n"
              "  writes ADDR V1 [V2 ...]  write consecutive registers (control " +
              std::to_string(kWriteRegistersCode) +
              ")\n"
              "  result                   the last write's outcome\n"
              "  snapshot [--raw]         the latest readings as JSON (control " +
              std::to_string(kSnapshotCode) +
              "), re-rendered for reading or as the plug-in wrote it\n"
              "  use NAME                 address this device from now on\n"
              "  devices                  list the devices\n" +
              extra + "  quit                     finish the rounds in progress and leave");
}

void Commands::listDevices() {
    for (auto& d : devices_.all())
        out_.text((d.get() == current_ ? "* " : "  ") + d->cfg.name + "  data id " +
                  std::to_string(d->cfg.dataId) + "  rounds " + std::to_string(d->rounds) +
                  "  port " + (d->cfg.serialPort().empty() ? "-" : d->cfg.serialPort()));
}

// The words from tok[1] on as 16-bit values; says which one is not.
bool Commands::numbers(const std::vector<std::string>& tok, std::vector<uint16_t>& values) {
    values.clear();
    for (std::size_t i = 1; i < tok.size(); ++i) {
        uint16_t w = 0;
        if (!parseWord(tok[i], w)) {
            out_.text("'" + tok[i] + "' is not a 16-bit value (0 to 65535, or 0x hex)");
            return false;
        }
        values.push_back(w);
    }
    return true;
}

// The host's own commands; false when tok names none of them.
bool Commands::own(Device& target, const std::vector<std::string>& tok) {
    const std::string& cmd = tok[0];
    std::vector<uint16_t> values;
    if (cmd == "help" || cmd == "?") {
        help();
    } else if (cmd == "quit" || cmd == "exit") {
        quit_ = true;
    } else if (cmd == "devices") {
        listDevices();
    } else if (cmd == "use" && tok.size() == 2) {
        Device* d = devices_.byName(tok[1]);
        if (d == nullptr) out_.text("no device " + tok[1] + " (try: devices)");
        else current_ = d;
    } else if (cmd == "write") {
        if (tok.size() != 3) out_.text("usage: write ADDR VALUE");
        else if (numbers(tok, values)) writes_.write(target, kWriteRegisterCode, values);
    } else if (cmd == "writes") {
        if (tok.size() < 3 || tok.size() > 2 + static_cast<std::size_t>(kMaxWriteRegisters))
            out_.text("usage: writes ADDR V1 [V2 ...] (at most " +
                      std::to_string(kMaxWriteRegisters) + " values)");
        else if (numbers(tok, values)) writes_.write(target, kWriteRegistersCode, values);
    } else if (cmd == "result") {
        result(target);
    } else if (cmd == "snapshot") {
        const bool raw = tok.size() == 2 && tok[1] == "--raw";
        if (tok.size() > 2 || (tok.size() == 2 && !raw)) out_.text("usage: snapshot [--raw]");
        else snapshot(target, raw);
    } else {
        return false;
    }
    return true;
}

void Commands::execute(const std::string& input) {
    std::istringstream words(input);
    std::vector<std::string> tok;
    for (std::string w; words >> w;) tok.push_back(w);
    if (tok.empty()) return;
    if (current_ == nullptr) current_ = devices_.all().front().get();
    Device* target = current_;
    if (tok[0].size() > 1 && tok[0].back() == ':') {
        const std::string name = tok[0].substr(0, tok[0].size() - 1);
        target = devices_.byName(name);
        if (target == nullptr) return out_.text("no device " + name + " (try: devices)");
        tok.erase(tok.begin());
        if (tok.empty()) return;
    }
    if (own(*target, tok)) return;
    const std::vector<std::string> args(tok.begin() + 1, tok.end());
    for (const auto& c : extras_)
        if (c.name == tok[0] && c.run(*target, args)) return;
    out_.text("unknown command '" + input + "' (try: help)");
}

}  // namespace smdhost
