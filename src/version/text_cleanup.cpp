#include "version/text_cleanup.h"

bool IsWhitespace(char character) {
    return character == ' ' || (character >= '\t' && character <= '\r');
}

void CollapseWhitespace(char* text) {
    char* kept = text;
    for (const char* at = text; *at != '\0'; ++at) {
        if (!(IsWhitespace(at[0]) && IsWhitespace(at[1]))) {
            *kept++ = *at;
        }
    }
    *kept = '\0';
}

bool IsBlank(const char* text) {
    for (; *text != '\0'; ++text) {
        if (!IsWhitespace(*text)) {
            return false;
        }
    }
    return true;
}
