#pragma once

// pxraidd's names on the bus, for the service and every client of it.

namespace px::bus {

inline constexpr char kServiceName[] = "org.pxraid.PxRaid1";
inline constexpr char kServiceRoot[] = "/org/pxraid/PxRaid1";
inline constexpr char kManagerInterface[] = "org.pxraid.PxRaid1.Manager";
inline constexpr char kEnclosureInterface[] = "org.pxraid.PxRaid1.Enclosure";
inline constexpr char kJobInterface[] = "org.pxraid.PxRaid1.Job";

}  // namespace px::bus
