// The reader search settings that tests and the screen tour store for the real Vombra.dll. The real
// search asks for converters with a UDP broadcast to 255.255.255.255 (SF_IP, 0x10): none of these may
// hold that bit (SearchDialogRoadTests checks them). SF_STD_COM (0x1) only while CFakeDevices holds the
// pty's port alone in the serial-port map: Wine lists COM1 there, a real device.
#pragma once

#include <windows.h>

// The tour: Ports-class ports with the USB filters, and PC/SC readers (the winscard double's).
constexpr DWORD kTourSearchFlags = 0x2E;
// The search dialog with the real add-in: the serial-port map (the pty alone) and PC/SC readers.
constexpr DWORD kSearchRoadFlags = 0x21;

// Checked before anything runs: a wrong constant must never reach the add-in, even once.
static_assert((kTourSearchFlags & 0x10) == 0, "the tour never broadcasts");
static_assert((kSearchRoadFlags & 0x10) == 0, "no test broadcasts");
