// Python module ovelin.algorithm.common: the shared helper functions.

#include "shared_helpers.hpp"

NB_MODULE(common, m) {
    ovelin::binding::register_error_translation();
    m.doc() = "Shared helpers: c2d, dict2pairs, pair2dict, str2xpyp, dataStore, current_time_str.";
    ovelin::binding::def_shared_helpers(m);
}
