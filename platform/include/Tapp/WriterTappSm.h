#pragma once
// The writer's wake-up state machine: tells the readers of a map when its
// writer comes and goes. On detach the channel is marked closed and every
// registered reader woken, so that a reader waiting in poll() learns at once
// that it must re-attach to the next writer's files.
#include "Quorl/Quorl.h"

namespace Tapp {

class WriterTappSm {
public:
    enum class State { detached, attached };
    explicit WriterTappSm(Quorl::QuorlWriter* quorl) : quorl_(quorl) {}
    void onAttach() { state_ = State::attached; }
    void onDetach() {
        if (state_ == State::attached && quorl_) quorl_->close();
        state_ = State::detached;
    }
    State state() const { return state_; }

private:
    Quorl::QuorlWriter* quorl_;
    State state_ = State::detached;
};

}  // namespace Tapp
