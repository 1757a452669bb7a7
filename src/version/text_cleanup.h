// Normalising the texts read from version blocks.
#pragma once

// Blank, tab, line feed, vertical tab, form feed and carriage return; no byte above 0x7F.
bool IsWhitespace(char character);

// Shortens every run of whitespace to its last character, in place.
void CollapseWhitespace(char* text);

// True when text is empty or holds only whitespace.
bool IsBlank(const char* text);
