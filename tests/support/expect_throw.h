// Checks that a statement throws exactly the given exception class with the
// GBK encoding of the given UTF-8 message.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "gbk.h"

#define EXPECT_THROW_MSG(statement, exception_type, utf8_message)                          \
    do {                                                                                    \
        try {                                                                               \
            statement;                                                                      \
            ADD_FAILURE() << "no exception from " #statement;                               \
        } catch (const exception_type& e) {                                                 \
            EXPECT_EQ(std::string(e.what()), quelmar_test::gbk(utf8_message));              \
        } catch (...) {                                                                     \
            ADD_FAILURE() << "wrong exception class from " #statement;                      \
        }                                                                                   \
    } while (0)
