// An activation's value as a fresh matrix, from its into-form (the only form the library has).
#pragma once

template <class M>
M applied(void (*into)(M const&, M&), M const& Z) {
    M A;
    into(Z, A);
    return A;
}
