// The messages of the error codes, indexed by code.
#include "vexa.h"

namespace ORMELA {

const char* const VexaBase::errorString[VEXA_ERROR_STRING_COUNT] = {
    "No error",
    "Error",
    "Failed to open file",
    "Memory allocation failed.",
    "Error parsing Element.",
    "Failed to read Element name",
    "Error reading Element value.",
    "Error reading Attributes.",
    "Error: empty tag.",
    "Error reading end tag.",
    "Error parsing Unknown.",
    "Error parsing Comment.",
    "Error parsing Declaration.",
    "Error document empty.",
    "Element nesting too deep.",
    "Text outside any element.",
    "Invalid text encoding.",
    "Entity refers to itself.",
    "Entity expansion exceeds its limit.",
    "Entity text breaks the document.",
    "Entity references nest too deeply.",
};

}  // namespace ORMELA
