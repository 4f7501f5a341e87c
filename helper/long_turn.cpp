#include "long_turn.hpp"

namespace tavi {

bool LongTurn::take() {
  if (!slot_) slot_ = turns_.slots.take_for(turns_.wait);
  return slot_.has_value();
}

}  // namespace tavi
