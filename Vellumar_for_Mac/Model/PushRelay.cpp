#include "Vellumar_for_Mac/Model/PushRelay.h"

namespace vellumar {

PushRelay& PushRelay::shared()
{
    static PushRelay relay;
    return relay;
}

}
