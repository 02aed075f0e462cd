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
    "Mismatched tag.",
    "Character not allowed.",
    "Invalid name.",
    "Undefined entity.",
    "Invalid character reference.",
    "Malformed reference.",
    "Content after the root element.",
    "No root element.",
    "XML declaration not at the start.",
    "Malformed processing instruction.",
    "Malformed or misplaced CDATA section.",
    "Malformed or misplaced document type declaration.",
    "'<' in an attribute value.",
    "']]>' in text.",
    "Repeated attribute.",
    "Attribute value not quoted.",
    "Not well-formed (invalid token).",
    "Unclosed markup at the end of the text.",
};

}  // namespace ORMELA
