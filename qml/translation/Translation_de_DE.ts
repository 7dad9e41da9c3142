<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>main</name>
    <message>
        <source>NVX7300 disconnected too soon</source>
        <translation>NVX7300 wurde zu früh abgemeldet</translation>
    </message>
    <message>
        <source>NVX7300 is currently running version </source>
        <translation>NVX7300 läuft derzeit Version </translation>
    </message>
    <message>
        <source>NVX7300 not connected</source>
        <translation>NVX7300 nicht angeschlossen</translation>
    </message>
    <message>
        <source>NVX7300 software is invalid</source>
        <translation>Die NVX7300-Software ist ungültig</translation>
    </message>
    <message>
        <source>NVX7300 must be updated again</source>
        <translation>NVX7300 muss erneut aktualisiert werden</translation>
    </message>
    <message>
        <source>Please switch on and connect your NVX7300</source>
        <translation>Bitte einschalten und NVX7300 anschließen</translation>
    </message>
    <message>
        <source>Reading NVX7300 version</source>
        <translation>Softwareversion lesen</translation>
    </message>
    <message>
        <source>Update Complete</source>
        <translation>Aktualisierung abgeschlossen</translation>
    </message>
    <message>
        <source>Update Failed</source>
        <translation>Update fehlgeschlagen</translation>
    </message>
    <message>
        <source>Update to</source>
        <translation>Update auf</translation>
    </message>
    <message>
        <source>Updating. Do not disconnect or switch off your NVX7300</source>
        <translation>Aktualisierung. Trennen Sie den NVX7300 nicht vom Computer und schalten Sie ihn nicht aus</translation>
    </message>
</context>
</TS>
