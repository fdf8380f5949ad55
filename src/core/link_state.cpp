#include "link_state.h"

void LinkState::WishLaser(bool on, bool showNow)
{
    Update([&](LinkSnapshot& state) {
        state.laserWanted = on;
        ++state.laserAsks;
        if (showNow)
            state.laserOn = on;
    });
    m_wish.Set();
}

void LinkState::WishProject(int project)
{
    Update([&](LinkSnapshot& state) {
        state.projectWanted = project;
        ++state.projectAsks;
    });
    m_wish.Set();
}
