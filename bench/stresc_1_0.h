// qo_stresc as released in qo 1.0.0 (frozen, see stresc_1_0.cpp).
#pragma once

char *stresc_1_0(const char *input, const char *specials, char escape, char quote);
