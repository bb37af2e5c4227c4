// The delivery sent when no --payload file is given: a small metadata
// stream document carrying one motion event.
#pragma once

inline constexpr char kDefaultPayload[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<tt:MetadataStream xmlns:tt=\"http://www.onvif.org/ver10/schema\""
    " xmlns:wsnt=\"http://docs.oasis-open.org/wsn/b-2\""
    " xmlns:tns1=\"http://www.onvif.org/ver10/topics\">"
    "<tt:Event><wsnt:NotificationMessage>"
    "<wsnt:Topic Dialect=\"http://www.onvif.org/ver10/tev/topicExpression/ConcreteSet\">"
    "tns1:VideoSource/tns1:MotionAlarm</wsnt:Topic>"
    "<wsnt:Message><tt:Message UtcTime=\"2026-01-01T00:00:00Z\" PropertyOperation=\"Changed\">"
    "<tt:Source><tt:SimpleItem Name=\"Source\" Value=\"VideoSource_1\"/></tt:Source>"
    "<tt:Data><tt:SimpleItem Name=\"State\" Value=\"true\"/></tt:Data>"
    "</tt:Message></wsnt:Message>"
    "</wsnt:NotificationMessage></tt:Event>"
    "</tt:MetadataStream>\n";
