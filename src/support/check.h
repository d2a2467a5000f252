// Internal invariants. A broken one stops the program with the expression's text;
// input must never be able to reach one (parsers check lengths first).
#pragma once

[[noreturn]] void check_failed(const char* expression, const char* file, int line);

#define PIXSIEVE_CHECK(expr) ((expr) ? (void)0 : check_failed(#expr, __FILE__, __LINE__))
