#include "link_state.h"

void LinkState::WishLaser(bool on, events::Origin origin)
{
    Update([&](LinkSnapshot& state) {
        state.laserWanted = on;
        ++state.laserAsks;
        if (origin == events::Origin::Robot)
            state.laserOn = on;
        m_feed.Publish(events::Wish{events::NowMs(), origin, events::Wish::What::Laser, on});
    });
    m_wish.Set();
}

void LinkState::WishProject(int project, events::Origin origin)
{
    Update([&](LinkSnapshot& state) {
        state.projectWanted = project;
        ++state.projectAsks;
        m_feed.Publish(events::Wish{events::NowMs(), origin, events::Wish::What::Project, project});
    });
    m_wish.Set();
}

void LinkState::PublishLinkChanges(const LinkSnapshot& before)
{
    const auto publish = [&](bool was, bool is, events::Link link) {
        if (was != is)
            m_feed.Publish(events::LinkChange{events::NowMs(), link, is});
    };
    publish(before.robotConnected, m_state.robotConnected, events::Link::Robot);
    publish(before.clientConnected, m_state.clientConnected, events::Link::Command);
    publish(before.streamConnected, m_state.streamConnected, events::Link::Stream);
}
