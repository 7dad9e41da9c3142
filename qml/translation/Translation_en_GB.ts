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
    <message>
        <source>Update refused: the firmware file is damaged</source>
        <translation>Update refused: the firmware file is damaged</translation>
    </message>
    <message>
        <source>Update refused: no backup of the NVX7300 can be made</source>
        <translation>Update refused: no backup of the NVX7300 can be made</translation>
    </message>
    <message>
        <source>Update refused: another NVX7300 is connected</source>
        <translation>Update refused: another NVX7300 is connected</translation>
    </message>
    <message>
        <source>Update refused: the NVX7300 could not be read again</source>
        <translation>Update refused: the NVX7300 could not be read again</translation>
    </message>
    <message>
        <source>Update refused: this NVX7300 needs a patch file that is not installed</source>
        <translation>Update refused: this NVX7300 needs a patch file that is not installed</translation>
    </message>
    <message>
        <source>Update refused</source>
        <translation>Update refused</translation>
    </message>
    <message>
        <source>Update Complete. Switch your NVX7300 off and on again</source>
        <translation>Update Complete. Switch your NVX7300 off and on again</translation>
    </message>
    <message>
        <source>The backup of this NVX7300 is damaged; call service</source>
        <translation>The backup of this NVX7300 is damaged; call service</translation>
    </message>
    <message>
        <source>Erase Complete</source>
        <translation>Erase Complete</translation>
    </message>
    <message>
        <source>NVX7300 is in use by another program</source>
        <translation>NVX7300 is in use by another program</translation>
    </message>
    <message>
        <source>Not permitted to use the NVX7300 port</source>
        <translation>Not permitted to use the NVX7300 port</translation>
    </message>
    <message>
        <source>NVX7300 must be updated again; its latest backup is damaged, an older one is used</source>
        <translation>NVX7300 must be updated again; its latest backup is damaged, an older one is used</translation>
    </message>
    <message>
        <source>The toolkit cannot use its own files; see the log file</source>
        <translation>The toolkit cannot use its own files; see the log file</translation>
    </message>
    <message>
        <source>NVX7300 is up to date</source>
        <translation>NVX7300 is up to date</translation>
    </message>
    <message>
        <source>Could not check for new versions</source>
        <translation>Could not check for new versions</translation>
    </message>
    <message>
        <source>Up to date</source>
        <translation>Up to date</translation>
    </message>
    <message>
        <source>Choose another version</source>
        <translation>Choose another version</translation>
    </message>
    <message>
        <source>%1%</source>
        <translation>%1%</translation>
    </message>
    <message>
        <source>Update progress</source>
        <translation>Update progress</translation>
    </message>
    <message>
        <source>Busy</source>
        <translation>Busy</translation>
    </message>
    <message>
        <source>Web site</source>
        <translation>Web site</translation>
    </message>
    <message>
        <source>Facebook page</source>
        <translation>Facebook page</translation>
    </message>
    <message>
        <source>Instagram page</source>
        <translation>Instagram page</translation>
    </message>
    <message>
        <source>Language</source>
        <translation>Language</translation>
    </message>
    <message>
        <source>Instrument</source>
        <translation>Instrument</translation>
    </message>
    <message>
        <source>Firmware version</source>
        <translation>Firmware version</translation>
    </message>
    <message>
        <source>Erase the NVX7300? Its calibration is backed up and restored by the next update.</source>
        <translation>Erase the NVX7300? Its calibration is backed up and restored by the next update.</translation>
    </message>
    <message>
        <source>Yes</source>
        <translation>Yes</translation>
    </message>
    <message>
        <source>No</source>
        <translation>No</translation>
    </message>
    <message>
        <source>The update goes on until it ends: stopping it now could leave the NVX7300 erased. The window closes when the update ends.</source>
        <translation>The update goes on until it ends: stopping it now could leave the NVX7300 erased. The window closes when the update ends.</translation>
    </message>
    <message>
        <source>Close when it ends</source>
        <translation>Close when it ends</translation>
    </message>
    <message>
        <source>Keep open</source>
        <translation>Keep open</translation>
    </message>
</context>
</TS>
