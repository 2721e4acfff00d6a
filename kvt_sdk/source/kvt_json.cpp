#include "kvt_json.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include <cjson/cJSON.h>

#include "kvt_error.h"

namespace kvt {

namespace {

const char *const kSourceFile = "kvt_sdk/source/kvt_json";
const unsigned kMaxPrecision = 64;

int report(int number, const std::string &message, const char *function, int line) {
    return kvtErrorReport(kvtError(number, message, kSourceFile, function, line));
}

int typeOf(const cJSON *node) {
    return node->type & 0xFF;
}

int clampToInt(double number) {
    if (std::isnan(number))
        return 0;
    if (number >= static_cast<double>(INT_MAX))
        return INT_MAX;
    if (number <= static_cast<double>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(number); // truncates towards zero
}

// Leading blanks, an optional sign, then digits up to the first other character.
int leadingInt(const char *text) {
    while (*text != '\0' && isspace(static_cast<unsigned char>(*text)))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    long long value = 0;
    for (; isdigit(static_cast<unsigned char>(*text)); ++text) {
        value = value * 10 + (*text - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    return static_cast<int>(value);
}

} // namespace

kvtJson::kvtJson() : m_pRoot(nullptr) {}

kvtJson::~kvtJson() {
    clear();
}

void kvtJson::clear() {
    if (m_pRoot != nullptr)
        cJSON_Delete(m_pRoot);
    m_pRoot = nullptr;
}

int kvtJson::LoadFromString(const std::string &jsonText) {
    const char *const function = "kvt::kvtJson::LoadFromString";
    clear();
    if (jsonText.empty())
        return report(kvtErrorInvalidArgument, "strJsonData == \"\"", function, __LINE__);
    const char *end = nullptr;
    cJSON *root = cJSON_ParseWithLengthOpts(jsonText.c_str(), jsonText.size(), &end, 0);
    if (root == nullptr) {
        std::string rest;
        if (end != nullptr && end >= jsonText.c_str() && end <= jsonText.c_str() + jsonText.size())
            rest.assign(end, jsonText.c_str() + jsonText.size());
        return report(kvtErrorFailed, "Can not parse json data " + rest, function, __LINE__);
    }
    m_pRoot = root;
    return 0;
}

cJSON *kvtJson::GetMember(const cJSON *object, const char *name) {
    if (object == nullptr || name == nullptr)
        return nullptr;
    for (cJSON *child = object->child; child != nullptr; child = child->next) {
        if (child->string != nullptr && strcmp(child->string, name) == 0)
            return child;
    }
    return nullptr;
}

int kvtJson::GetNodeValueAsInt(const cJSON *node, int *value) {
    const char *const function = "kvt::kvtJson::GetNodeValueAsInt";
    if (value == nullptr)
        return report(kvtErrorInvalidArgument, "o_pValue == 0", function, __LINE__);
    if (node == nullptr)
        return report(kvtErrorInvalidArgument, "pNode == 0", function, __LINE__);
    *value = 0;
    switch (typeOf(node)) {
    case cJSON_False:
    case cJSON_NULL:
        return 0;
    case cJSON_True:
        *value = 1;
        return 0;
    case cJSON_Number:
        *value = clampToInt(node->valuedouble);
        return 0;
    case cJSON_String:
        if (node->valuestring != nullptr)
            *value = leadingInt(node->valuestring);
        return 0;
    default:
        return report(kvtErrorFailed, "Invalid Data type " + std::to_string(typeOf(node)), function,
                      __LINE__);
    }
}

int kvtJson::GetNodeValueAsString(const cJSON *node, std::string *value, unsigned precision) {
    const char *const function = "kvt::kvtJson::GetNodeValueAsString";
    if (value == nullptr)
        return report(kvtErrorInvalidArgument, "o_pValue == 0", function, __LINE__);
    if (node == nullptr)
        return report(kvtErrorInvalidArgument, "pNode == 0", function, __LINE__);
    value->clear();
    switch (typeOf(node)) {
    case cJSON_False:
        *value = "0";
        return 0;
    case cJSON_True:
        *value = "1";
        return 0;
    case cJSON_NULL:
        return 0;
    case cJSON_Number: {
        const std::string format =
            "%." + std::to_string(precision > kMaxPrecision ? kMaxPrecision : precision) + "f";
        int size = snprintf(nullptr, 0, format.c_str(), node->valuedouble);
        if (size > 0) {
            std::vector<char> text(static_cast<size_t>(size) + 1);
            snprintf(text.data(), text.size(), format.c_str(), node->valuedouble);
            value->assign(text.data(), static_cast<size_t>(size));
        }
        return 0;
    }
    case cJSON_String:
        if (node->valuestring != nullptr)
            *value = node->valuestring;
        return 0;
    default:
        return report(kvtErrorFailed, "Invalid Data type " + std::to_string(typeOf(node)), function,
                      __LINE__);
    }
}

} // namespace kvt
