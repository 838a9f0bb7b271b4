// Test units: a component module (libSorvaneTestUnits.so, CMake target
// SorvaneTestUnits) that installs instruments of manufacturer 'Test' so that
// tests can reach every path of a host. Put the directory of the module in
// AU_COMPONENT_PATH before the process first uses the component manager:
//
//     AU_COMPONENT_PATH=$<TARGET_FILE_DIR:SorvaneTestUnits>
//
// Installed components, in this order (identifier, name, what it does):
//
//   aumu/rec /Test  "RecordingUnit"      takes MIDI, renders the ramp below, records everything
//   aumu/nomi/Test  "NoMIDIUnit"         has no MIDI schedule block (and refuses MusicDeviceMIDIEvent)
//   aumu/rfl0/Test  "RenderFailsAt0"     its first render after allocation fails
//   aumu/rfl3/Test  "RenderFailsAt3"     renders blocks 0, 1, 2, then block 3 fails (and every later one)
//   aumu/ierr/Test  "InstantiateError"   instantiation fails with an error
//                                        (domain "com.sorvane.TestUnits", code 77,
//                                        "Test unit refused to instantiate")
//   aumu/inil/Test  "InstantiateNil"     instantiation fails without an error
//   aumu/aerr/Test  "AllocateError"      allocateRenderResources fails with NSOSStatusErrorDomain -10875,
//                                        "Test unit cannot allocate render resources"
//   aumu/anil/Test  "AllocateNil"        allocateRenderResources fails without an error
//   aumu/nohd/Test  "NoHandleUnit"       AVAudioUnit::audioUnit() is null
//   aumu/nobs/Test  "NoBusUnit"          has no output bus (outputBusses() is empty)
//   aumu/frmt/Test  "FormatRefusingUnit" refuses every format change (-10868)
//   aumu/dupl/Test  "DuplicateUnit"      installed twice: listed twice
//   aumu/z/Test     "ZeroByteUnit"       subtype 'z' followed by three zero bytes (0x7A000000)
//   aumu/anon/Test  (no name, no manufacturer name)
//
// Every unit except ierr/inil is a recording unit: one output bus, stereo
// 44100 Hz standard format (any standard format with 1 or 2 channels is
// accepted, except by frmt). Output: frame at absolute sample time t is
// ((t mod 100) / 1000) on both channels, so a reader can tell which frames
// of the timeline were rendered.
//
// Record file: the path in the environment variable SORVANE_TEST_UNIT_LOG at
// instantiation, or a path set later with the property
// kTestUnitProperty_RecordPath (global scope, element 0, data = the path's
// bytes, size = its length; size 0 stops recording). Lines are appended, each
// with one write call, space separated, numbers in decimal:
//
//   instantiate <identifier>                  when the unit is created
//   format <sampleRate> <channels> <interleaved 0|1>    output format accepted
//   allocate <ok 0|1>                         allocateRenderResources called
//   deallocate                                deallocateRenderResources called
//   block <sampleTime> <frames>               a render call that succeeds
//   midi <eventTime> <blockStart> <b0> <b1> <b2>       each MIDI event the block
//                                             received, at the time it acts (a time
//                                             already past is given as blockStart;
//                                             unused bytes 0)
//   fail <sampleTime> <frames> <status>       a render call that fails
//   property <id> <scope> <element> <size>    AudioUnitSetProperty on the unit
//                                             (accepted with status 0)
//   musicdevice <status> <data1> <data2> <offset>      MusicDeviceMIDIEvent on the unit
//                                             (the message then goes through the
//                                             schedule like an immediate event)
//
// The status of failing renders is -10863 (kAudioUnitErr_CannotDoInCurrentContext)
// unless SORVANE_TEST_RENDER_FAIL_STATUS (read at instantiation) gives another
// decimal value.
#pragma once

#include <cstdint>

inline constexpr uint32_t kTestUnitManufacturer = 0x54657374; // 'Test'
inline constexpr uint32_t kTestUnitProperty_RecordPath = 64001;
