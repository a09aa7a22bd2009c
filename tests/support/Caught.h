#pragma once

#include "platform/LisError.h"

// What a call threw: number 0 when it threw nothing.
struct Caught {
    int number = 0;
    QString description;
};

template <typename F> Caught caught(F&& f)
{
    try {
        f();
    } catch (const LisError& e) {
        return {e.number(), e.description()};
    }
    return {};
}
