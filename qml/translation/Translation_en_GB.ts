<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_GB">
<context>
    <name>main</name>
    <message>
        <source>NVX7300 disconnected too soon</source>
        <translation>NVX7300 disconnected too soon</translation>
    </message>
    <message>
        <source>NVX7300 is currently running version </source>
        <translation>NVX7300 is currently running version </translation>
    </message>
    <message>
        <source>NVX7300 not connected</source>
        <translation>NVX7300 not connected</translation>
    </message>
    <message>
        <source>NVX7300 software is invalid</source>
        <translation>NVX7300 software is invalid</translation>
    </message>
    <message>
        <source>NVX7300 must be updated again</source>
        <translation>NVX7300 must be updated again</translation>
    </message>
    <message>
        <source>Please switch on and connect your NVX7300</source>
        <translation>Please switch on and connect your NVX7300</translation>
    </message>
    <message>
        <source>Reading NVX7300 version</source>
        <translation>Reading NVX7300 version</translation>
    </message>
    <message>
        <source>Update Complete</source>
        <translation>Update Complete</translation>
    </message>
    <message>
        <source>Update Failed</source>
        <translation>Update Failed</translation>
    </message>
    <message>
        <source>Update to</source>
        <translation>Update to</translation>
    </message>
    <message>
        <source>Updating. Do not disconnect or switch off your NVX7300</source>
        <translation>Updating. Do not disconnect or switch off your NVX7300</translation>
    </message>
</context>
</TS>
