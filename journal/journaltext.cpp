#include "journaltext.h"

#include "journalschema.h"

#include <cjson/cJSON.h>

#include <memory>
#include <strings.h>

namespace vyxjournal {

namespace {

using Json = std::unique_ptr<cJSON, void (*)(cJSON *)>;

void clean(cJSON *node) {
    if (cJSON_IsString(node) && node->valuestring) {
        const std::string text = node->valuestring;
        const std::string kept = cutText(text);
        if (kept != text)
            cJSON_SetValuestring(node, kept.c_str());
        return;
    }
    cJSON *child = node->child;
    while (child) {
        cJSON *next = child->next;
        if (cJSON_IsObject(node) && child->string && isWithheld(child->string))
            cJSON_Delete(cJSON_DetachItemViaPointer(node, child));
        else
            clean(child);
        child = next;
    }
}

std::string printed(cJSON *object) {
    char *text = cJSON_PrintUnformatted(object);
    const std::string out = text ? text : "{}";
    cJSON_free(text);
    return out;
}

} // namespace

std::string cutText(const std::string &text) {
    if (text.size() <= size_t(kMaxTextLength))
        return text;
    size_t end = size_t(kMaxTextLength);
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end) + "\xE2\x80\xA6 (" + std::to_string(text.size() - end) + " bytes cut)";
}

bool isWithheld(const std::string &name) {
    for (const char *w : kWithheldArguments)
        if (strcasecmp(name.c_str(), w) == 0)
            return true;
    return false;
}

std::string cleanArguments(const std::string &jsonObject) {
    Json root(cJSON_ParseWithLength(jsonObject.data(), jsonObject.size()), cJSON_Delete);
    if (!root || !cJSON_IsObject(root.get()))
        return "{}";
    clean(root.get());
    return printed(root.get());
}

std::string argumentsJson(const Arguments &arguments) {
    Json root(cJSON_CreateObject(), cJSON_Delete);
    for (const auto &a : arguments)
        cJSON_AddItemToObject(root.get(), a.first.c_str(), cJSON_CreateString(a.second.c_str()));
    return printed(root.get());
}

} // namespace vyxjournal
