// qo_stresc as released in qo 1.1.0 (frozen, see stresc_1_1.cpp).
#pragma once

char *stresc_1_1(const char *input, const char *specials, char escape, char quote);
