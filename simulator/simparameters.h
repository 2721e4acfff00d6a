#pragma once
// The simulator's parameter table: identifiers with a name, a frame value type and a value.
#include "kvt_olmocodes.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The frame value types that parameters use.
enum SimParamType : int {
    SimByte = kvt::kvtTypeUChar,
    SimUInt = kvt::kvtTypeUInt,
    SimULong = kvt::kvtTypeULong,
    SimFloat = kvt::kvtTypeFloat,
    SimString = kvt::kvtTypeString,
};

struct SimParameter {
    uint32_t id = 0;
    std::string name;
    int type = SimByte;
    uint32_t number = 0; // byte, uint and ulong values
    float real = 0.0f;   // float values
    std::string text;    // string values
    std::string unit;
};

// A value as it arrived in a write frame.
struct SimWrittenValue {
    int type = 0;
    uint32_t number = 0;
    float real = 0.0f;
    std::string text;
};

class SimParameters {
public:
    void loadDefaults();
    // A synthetic table of count parameters with identifiers 1..count, their types taking turns.
    void loadSynthetic(uint32_t count);
    // JSON: an array (or {"parameters": [...]}) of {"id", "name", "type", "value", "unit"}, type one
    // of byte, uint, ulong, float, string.
    bool loadFile(const std::string &path, std::string &error);

    const SimParameter *find(uint32_t id) const;
    std::vector<uint32_t> ids() const;
    size_t size() const { return m_params.size(); }

    // Stores a written value converted to the parameter's own type; false for an unknown id or a
    // value that does not convert.
    bool write(uint32_t id, const SimWrittenValue &value);
    // Lets a few parameters drift as a live installation would; returns the ids that changed.
    std::vector<uint32_t> liveTick(unsigned tick);
    // Changes the next parameter in turn (over the whole table) and returns it; nullptr when the
    // table has nothing that may change.
    const SimParameter *liveStep();

    static std::string typeName(int type);
    static std::string valueText(const SimParameter &p);
    std::string configurationJson(uint32_t id) const;

private:
    void add(uint32_t id, const std::string &name, int type, double value, const std::string &unit = {});
    void addText(uint32_t id, const std::string &name, const std::string &text);

    void tableChanged();

    std::map<uint32_t, SimParameter> m_params;
    std::vector<SimParameter *> m_turns; // what liveStep changes, in turn
    size_t m_nextTurn = 0;
    uint64_t m_steps = 0;
};
