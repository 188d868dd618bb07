#pragma once
// The code of the ovelin::Error that f throws, or none.

#include <optional>

#include "ovelin/error.hpp"

template <class F>
std::optional<ovelin::Errc> error_code(F&& f) {
    try {
        f();
    } catch (const ovelin::Error& e) {
        return e.code();
    }
    return std::nullopt;
}
