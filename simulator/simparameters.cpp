#include "simparameters.h"

#include "kvt_olmocodes.h"

#include <cjson/cJSON.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

namespace {

struct JsonFree {
    void operator()(cJSON *j) const { cJSON_Delete(j); }
};

// The types the simulator keeps values of; 0 for any other name.
int typeFromName(const std::string &n) {
    const int type = kvt::kvtValueTypeFromName(n);
    switch (type) {
    case SimByte:
    case SimUInt:
    case SimULong:
    case SimFloat:
    case SimString:
        return type;
    }
    return 0;
}

uint32_t clampNumber(double v, int type) {
    if (!std::isfinite(v) || v < 0)
        return 0;
    double max = type == SimByte ? 255.0 : 4294967295.0;
    return uint32_t(v > max ? max : v);
}

} // namespace

void SimParameters::add(uint32_t id, const std::string &name, int type, double value,
                        const std::string &unit) {
    SimParameter p;
    p.id = id;
    p.name = name;
    p.type = type;
    p.unit = unit;
    if (type == SimFloat)
        p.real = float(value);
    else
        p.number = clampNumber(value, type);
    m_params[id] = p;
}

void SimParameters::addText(uint32_t id, const std::string &name, const std::string &text) {
    SimParameter p;
    p.id = id;
    p.name = name;
    p.type = SimString;
    p.text = text;
    m_params[id] = p;
}

void SimParameters::loadDefaults() {
    m_params.clear();
    static const char *rooms[] = {"Kitchen",  "Living room", "Dining room", "Hall",   "Bedroom",
                                  "Bathroom", "Office",      "Garage",      "Garden", "Terrace"};
    for (uint32_t i = 0; i < 10; ++i)
        add(100001 + i, std::string("Light ") + rooms[i], SimByte, i % 3 == 0 ? 1 : 0);
    for (uint32_t i = 0; i < 8; ++i)
        add(100101 + i, std::string("Dimmer ") + rooms[i], SimByte, (i * 37) % 256, "%");
    for (uint32_t i = 0; i < 8; ++i)
        add(100201 + i, std::string("Temperature ") + rooms[i], SimFloat, 19.5 + i * 0.5, "C");
    for (uint32_t i = 0; i < 6; ++i)
        add(100301 + i, std::string("Energy meter ") + std::to_string(i + 1), SimUInt, 12000 + i * 1500,
            "Wh");
    for (uint32_t i = 0; i < 4; ++i)
        add(100401 + i, std::string("Operating time ") + std::to_string(i + 1), SimULong, 360000 + i * 3600,
            "s");
    for (uint32_t i = 0; i < 6; ++i)
        addText(100501 + i, std::string("Room name ") + std::to_string(i + 1), rooms[i]);
    addText(999997, "Logic channel", "{}");
    tableChanged();
}

void SimParameters::loadSynthetic(uint32_t count) {
    m_params.clear();
    static const int types[] = {SimByte, SimUInt, SimULong, SimFloat, SimString};
    static const char *units[] = {"%", "Wh", "s", "C", ""};
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t id = i + 1;
        const int t = types[i % 5];
        const std::string name = "Synthetic " + typeName(t) + " " + std::to_string(id);
        if (t == SimString)
            addText(id, name, "text " + std::to_string(id));
        else
            add(id, name, t, t == SimFloat ? 20.0 + double(id % 100) / 4.0 : double(id % 200), units[i % 5]);
    }
    tableChanged();
}

void SimParameters::tableChanged() {
    m_turns.clear();
    m_nextTurn = 0;
    for (auto &e : m_params)
        // The logic channel carries the logic editor's JSON: made-up text there would break it.
        if (e.first != 999997)
            m_turns.push_back(&e.second);
}

const SimParameter *SimParameters::liveStep() {
    if (m_turns.empty())
        return nullptr;
    if (m_nextTurn >= m_turns.size())
        m_nextTurn = 0;
    SimParameter &p = *m_turns[m_nextTurn++];
    ++m_steps;
    switch (p.type) {
    case SimByte:
        p.number = (p.number + 1) % 256;
        break;
    case SimFloat:
        p.real = p.real >= 1000.0f ? 0.0f : p.real + 0.25f;
        break;
    case SimString:
        p.text = "change " + std::to_string(m_steps);
        break;
    default:
        p.number += 1;
        break;
    }
    return &p;
}

bool SimParameters::loadFile(const std::string &path, std::string &error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read parameter file " + path;
        return false;
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    std::string text = buffer.str();
    std::unique_ptr<cJSON, JsonFree> root(cJSON_ParseWithLength(text.data(), text.size()));
    if (!root) {
        error = path + ": not valid JSON";
        return false;
    }
    cJSON *list =
        cJSON_IsArray(root.get()) ? root.get() : cJSON_GetObjectItemCaseSensitive(root.get(), "parameters");
    if (!cJSON_IsArray(list)) {
        error = path + ": expected an array of parameters";
        return false;
    }
    m_params.clear();
    int index = 0;
    cJSON *item = nullptr;
    cJSON_ArrayForEach(item, list) {
        ++index;
        cJSON *id = cJSON_GetObjectItemCaseSensitive(item, "id");
        cJSON *type = cJSON_GetObjectItemCaseSensitive(item, "type");
        cJSON *name = cJSON_GetObjectItemCaseSensitive(item, "name");
        cJSON *value = cJSON_GetObjectItemCaseSensitive(item, "value");
        cJSON *unit = cJSON_GetObjectItemCaseSensitive(item, "unit");
        int t = cJSON_IsString(type) ? typeFromName(type->valuestring) : 0;
        if (!cJSON_IsNumber(id) || id->valuedouble < 1 || id->valuedouble > kvt::kvtOlmoMaxParameterId ||
            t == 0) {
            error = path + ": parameter " + std::to_string(index) +
                    " needs an id (1..1048575) and a type (byte, uint, ulong, float, string)";
            tableChanged();
            return false;
        }
        std::string n = cJSON_IsString(name) ? name->valuestring : "Parameter " + std::to_string(index);
        uint32_t pid = uint32_t(id->valuedouble);
        if (t == SimString)
            addText(pid, n, cJSON_IsString(value) ? value->valuestring : "");
        else
            add(pid, n, t, cJSON_IsNumber(value) ? value->valuedouble : 0.0,
                cJSON_IsString(unit) ? unit->valuestring : "");
    }
    tableChanged();
    return true;
}

const SimParameter *SimParameters::find(uint32_t id) const {
    auto it = m_params.find(id);
    return it == m_params.end() ? nullptr : &it->second;
}

std::vector<uint32_t> SimParameters::ids() const {
    std::vector<uint32_t> out;
    out.reserve(m_params.size());
    for (const auto &p : m_params)
        out.push_back(p.first);
    return out;
}

bool SimParameters::write(uint32_t id, const SimWrittenValue &v) {
    auto it = m_params.find(id);
    if (it == m_params.end())
        return false;
    SimParameter &p = it->second;
    double number = 0.0;
    bool numeric = true;
    switch (v.type) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
    case 7:
    case 8:
    case 9:
        number = v.number;
        break;
    case SimFloat:
        number = v.real;
        break;
    case SimString: {
        char *end = nullptr;
        number = std::strtod(v.text.c_str(), &end);
        numeric = end != v.text.c_str() && *end == '\0';
        break;
    }
    default:
        numeric = false;
    }
    if (p.type == SimString) {
        if (v.type == SimString) {
            p.text = v.text;
        } else if (numeric) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%g", number);
            p.text = buf;
        } else {
            return false;
        }
        return true;
    }
    if (!numeric)
        return false;
    if (p.type == SimFloat)
        p.real = float(number);
    else
        p.number = clampNumber(number, p.type);
    return true;
}

std::vector<uint32_t> SimParameters::liveTick(unsigned tick) {
    std::vector<uint32_t> changed;
    auto touch = [&](uint32_t id, auto change) {
        auto it = m_params.find(id);
        if (it == m_params.end())
            return;
        change(it->second);
        changed.push_back(id);
    };
    touch(100002, [](SimParameter &p) { p.number = p.number ? 0 : 1; });
    touch(100201, [tick](SimParameter &p) { p.real = 21.0f + 1.5f * float(std::sin(double(tick) / 10.0)); });
    touch(100301, [](SimParameter &p) { p.number += 3; });
    touch(100401, [](SimParameter &p) { p.number += 1; });
    if (tick % 5 == 0)
        touch(100102, [](SimParameter &p) { p.number = (p.number + 25) % 256; });
    return changed;
}

std::string SimParameters::typeName(int type) {
    return kvt::kvtValueTypeName(type);
}

std::string SimParameters::valueText(const SimParameter &p) {
    if (p.type == SimString)
        return p.text;
    if (p.type == SimFloat) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%g", double(p.real));
        return buf;
    }
    return std::to_string(p.number);
}

std::string SimParameters::configurationJson(uint32_t id) const {
    std::unique_ptr<cJSON, JsonFree> o(cJSON_CreateObject());
    const SimParameter *p = find(id);
    cJSON_AddNumberToObject(o.get(), "id", id);
    if (!p) {
        cJSON_AddNumberToObject(o.get(), "err", 1);
        cJSON_AddStringToObject(o.get(), "info", "Unknown parameter");
    } else {
        cJSON_AddNumberToObject(o.get(), "err", 0);
        cJSON_AddStringToObject(o.get(), "name", p->name.c_str());
        cJSON_AddStringToObject(o.get(), "type", typeName(p->type).c_str());
        cJSON_AddStringToObject(o.get(), "unit", p->unit.c_str());
        if (p->type == SimByte) {
            cJSON_AddNumberToObject(o.get(), "min", 0);
            cJSON_AddNumberToObject(o.get(), "max", 255);
        }
    }
    std::unique_ptr<char, void (*)(void *)> text(cJSON_PrintUnformatted(o.get()), cJSON_free);
    return text ? text.get() : "{}";
}
