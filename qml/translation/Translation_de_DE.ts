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
    <message>
        <source>Update refused: the firmware file is damaged</source>
        <translation>Aktualisierung abgelehnt: Die Firmware-Datei ist beschädigt</translation>
    </message>
    <message>
        <source>Update refused: no backup of the NVX7300 can be made</source>
        <translation>Aktualisierung abgelehnt: Vom NVX7300 kann keine Sicherung angelegt werden</translation>
    </message>
    <message>
        <source>Update refused: another NVX7300 is connected</source>
        <translation>Aktualisierung abgelehnt: Ein anderes NVX7300 ist angeschlossen</translation>
    </message>
    <message>
        <source>Update refused: the NVX7300 could not be read again</source>
        <translation>Aktualisierung abgelehnt: Das NVX7300 konnte nicht erneut gelesen werden</translation>
    </message>
    <message>
        <source>Update refused: this NVX7300 needs a patch file that is not installed</source>
        <translation>Aktualisierung abgelehnt: Dieses NVX7300 benötigt eine Patch-Datei, die nicht installiert ist</translation>
    </message>
    <message>
        <source>Update refused</source>
        <translation>Aktualisierung abgelehnt</translation>
    </message>
    <message>
        <source>Update Complete. Switch your NVX7300 off and on again</source>
        <translation>Aktualisierung abgeschlossen. Schalten Sie Ihr NVX7300 aus und wieder ein</translation>
    </message>
    <message>
        <source>The backup of this NVX7300 is damaged; call service</source>
        <translation>Die Sicherung dieses NVX7300 ist beschädigt; rufen Sie den Service an</translation>
    </message>
    <message>
        <source>Erase Complete</source>
        <translation>Löschen abgeschlossen</translation>
    </message>
    <message>
        <source>NVX7300 is in use by another program</source>
        <translation>NVX7300 wird von einem anderen Programm verwendet</translation>
    </message>
    <message>
        <source>Not permitted to use the NVX7300 port</source>
        <translation>Keine Berechtigung für den Anschluss des NVX7300</translation>
    </message>
    <message>
        <source>NVX7300 must be updated again; its latest backup is damaged, an older one is used</source>
        <translation>NVX7300 muss erneut aktualisiert werden; seine letzte Sicherung ist beschädigt, eine ältere wird verwendet</translation>
    </message>
    <message>
        <source>The toolkit cannot use its own files; see the log file</source>
        <translation>Das Toolkit kann seine eigenen Dateien nicht verwenden; siehe Protokolldatei</translation>
    </message>
    <message>
        <source>NVX7300 is up to date</source>
        <translation>NVX7300 ist auf dem neuesten Stand</translation>
    </message>
    <message>
        <source>Could not check for new versions</source>
        <translation>Neue Versionen konnten nicht geprüft werden</translation>
    </message>
    <message>
        <source>Up to date</source>
        <translation>Auf dem neuesten Stand</translation>
    </message>
    <message>
        <source>Choose another version</source>
        <translation>Andere Version wählen</translation>
    </message>
    <message>
        <source>%1%</source>
        <translation>%1 %</translation>
    </message>
    <message>
        <source>Update progress</source>
        <translation>Fortschritt der Aktualisierung</translation>
    </message>
    <message>
        <source>Busy</source>
        <translation>Beschäftigt</translation>
    </message>
    <message>
        <source>Web site</source>
        <translation>Website</translation>
    </message>
    <message>
        <source>Facebook page</source>
        <translation>Facebook-Seite</translation>
    </message>
    <message>
        <source>Instagram page</source>
        <translation>Instagram-Seite</translation>
    </message>
    <message>
        <source>Language</source>
        <translation>Sprache</translation>
    </message>
    <message>
        <source>Instrument</source>
        <translation>Gerät</translation>
    </message>
    <message>
        <source>Firmware version</source>
        <translation>Firmwareversion</translation>
    </message>
    <message>
        <source>Erase the NVX7300? Its calibration is backed up and restored by the next update.</source>
        <translation>Den NVX7300 löschen? Seine Kalibrierung wird gesichert und bei der nächsten Aktualisierung wiederhergestellt.</translation>
    </message>
    <message>
        <source>Yes</source>
        <translation>Ja</translation>
    </message>
    <message>
        <source>No</source>
        <translation>Nein</translation>
    </message>
    <message>
        <source>The update goes on until it ends: stopping it now could leave the NVX7300 erased. The window closes when the update ends.</source>
        <translation>Die Aktualisierung läuft bis zum Ende weiter: ein Abbruch jetzt könnte den NVX7300 gelöscht zurücklassen. Das Fenster schließt sich, wenn die Aktualisierung endet.</translation>
    </message>
    <message>
        <source>Close when it ends</source>
        <translation>Am Ende schließen</translation>
    </message>
    <message>
        <source>Keep open</source>
        <translation>Offen lassen</translation>
    </message>
</context>
</TS>
