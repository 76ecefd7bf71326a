<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>COrloFirmwareUpdateDialog</name>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Preparing the Orlo for the update. Do not disconnect or power off the Orlo.</source>
        <translation>Der Orlo wird auf das Update vorbereitet. Den Orlo nicht trennen oder ausschalten.</translation>
    </message>
    <message>
        <source>Erasing the M-CORE image. Do not disconnect or power off the Orlo.</source>
        <translation>Das M-CORE-Image wird gelöscht. Den Orlo nicht trennen oder ausschalten.</translation>
    </message>
    <message>
        <source>Erasing the FPGA image. Do not disconnect or power off the Orlo.</source>
        <translation>Das FPGA-Image wird gelöscht. Den Orlo nicht trennen oder ausschalten.</translation>
    </message>
    <message>
        <source>Writing the M-CORE image. Do not disconnect or power off the Orlo.</source>
        <translation>Das M-CORE-Image wird geschrieben. Den Orlo nicht trennen oder ausschalten.</translation>
    </message>
    <message>
        <source>Writing the FPGA image. Do not disconnect or power off the Orlo.</source>
        <translation>Das FPGA-Image wird geschrieben. Den Orlo nicht trennen oder ausschalten.</translation>
    </message>
    <message>
        <source>Select Downgrade button to download firmware version %1 to Orlo:</source>
        <translation>Wählen Sie „Downgrade“, um die Firmware-Version %1 auf den Orlo zu laden:</translation>
    </message>
    <message>
        <source>Select Upgrade button to download firmware version %1 to Orlo:</source>
        <translation>Wählen Sie „Aktualisieren“, um die Firmware-Version %1 auf den Orlo zu laden:</translation>
    </message>
    <message numerus="yes">
        <source>%n Orlos are connected: this updates the one shown. orlo-firmware-update --device updates any of them.</source>
        <translation>
            <numerusform>%n Orlo ist angeschlossen.</numerusform>
            <numerusform>%n Orlos sind angeschlossen: Dieses Fenster aktualisiert den angezeigten. orlo-firmware-update --device aktualisiert jeden von ihnen.</numerusform>
        </translation>
    </message>
    <message>
        <source>&amp;Downgrade</source>
        <translation>&amp;Downgrade</translation>
    </message>
    <message>
        <source>&amp;Upgrade</source>
        <translation>&amp;Aktualisieren</translation>
    </message>
    <message>
        <source>Quit %1 before updating.</source>
        <translation>Beenden Sie %1 vor dem Update.</translation>
    </message>
    <message>
        <source>Orlo Not Found</source>
        <translation>Orlo nicht gefunden</translation>
    </message>
    <message>
        <source>The firmware version of the Orlo on the bus</source>
        <translation>Die Firmware-Version des Orlo am Bus</translation>
    </message>
    <message>
        <source>The serial number of the Orlo</source>
        <translation>Die Seriennummer des Orlo</translation>
    </message>
    <message>
        <source>Update progress</source>
        <translation>Fortschritt des Updates</translation>
    </message>
    <message>
        <source>How far the update of the Orlo has come</source>
        <translation>Wie weit das Update des Orlo fortgeschritten ist</translation>
    </message>
    <message>
        <source>Programming Complete</source>
        <translation>Programmierung abgeschlossen</translation>
    </message>
    <message>
        <source>You will need to cycle the Power on your Orlo for changes to take affect</source>
        <translation>Schalten Sie den Orlo aus und wieder ein, damit die Änderungen wirksam werden</translation>
    </message>
    <message>
        <source>This is a Downgrade:</source>
        <translation>Dies ist ein Downgrade:</translation>
    </message>
    <message>
        <source>Press OK to Continue or Cancel to Quit</source>
        <translation>OK fährt fort, Abbrechen beendet das Programm</translation>
    </message>
    <message>
        <source>Version %1, Copyright 2026 the ORLOFirmwareUpdate developers</source>
        <translation>Version %1, Copyright 2026 die Entwickler von ORLOFirmwareUpdate</translation>
    </message>
    <message>
        <source>The Orlo changed since it was shown: it was unplugged, or another Orlo took its place. Your Orlo was not updated. Keep it connected and powered, and start the update again.</source>
        <translation>Der Orlo hat sich geändert, seit er angezeigt wurde: Er wurde getrennt, oder ein anderer Orlo hat seinen Platz eingenommen. Ihr Orlo wurde nicht aktualisiert. Lassen Sie ihn angeschlossen und eingeschaltet, und starten Sie das Update erneut.</translation>
    </message>
    <message>
        <source>The Orlo is in use by another program. Your Orlo was not updated. Keep it connected and powered, and start the update again.</source>
        <translation>Der Orlo wird von einem anderen Programm verwendet. Ihr Orlo wurde nicht aktualisiert. Lassen Sie ihn angeschlossen und eingeschaltet, und starten Sie das Update erneut.</translation>
    </message>
    <message>
        <source>The update could not be started (status %1). Your Orlo was not updated. Keep it connected and powered, and start the update again.</source>
        <translation>Das Update konnte nicht gestartet werden (Status %1). Ihr Orlo wurde nicht aktualisiert. Lassen Sie ihn angeschlossen und eingeschaltet, und starten Sie das Update erneut.</translation>
    </message>
    <message>
        <source>Programming the FPGA image failed (status %1). Your Orlo was not updated completely. Keep it connected and powered, and start the update again.</source>
        <translation>Das Programmieren des FPGA-Images ist fehlgeschlagen (Status %1). Ihr Orlo wurde nicht vollständig aktualisiert. Lassen Sie ihn angeschlossen und eingeschaltet, und starten Sie das Update erneut.</translation>
    </message>
    <message>
        <source>Programming the M-CORE image failed (status %1). Your Orlo was not updated completely. Keep it connected and powered, and start the update again.</source>
        <translation>Das Programmieren des M-CORE-Images ist fehlgeschlagen (Status %1). Ihr Orlo wurde nicht vollständig aktualisiert. Lassen Sie ihn angeschlossen und eingeschaltet, und starten Sie das Update erneut.</translation>
    </message>
    <message>
        <source>The update did not finish. Your Orlo was not updated completely. Keep it connected and powered, and start the update again.</source>
        <translation>Das Update wurde nicht abgeschlossen. Ihr Orlo wurde nicht vollständig aktualisiert. Lassen Sie ihn angeschlossen und eingeschaltet, und starten Sie das Update erneut.</translation>
    </message>
    <message>
        <source>Programming Failed</source>
        <translation>Programmierung fehlgeschlagen</translation>
    </message>
    <message>
        <source>Updating the Orlo&apos;s firmware</source>
        <translation>Die Firmware des Orlo wird aktualisiert</translation>
    </message>
</context>
<context>
    <name>Cli</name>
    <message>
        <source>Preparing the Orlo</source>
        <translation>Orlo wird vorbereitet</translation>
    </message>
    <message>
        <source>Erasing the M-CORE image</source>
        <translation>M-CORE-Image wird gelöscht</translation>
    </message>
    <message>
        <source>Erasing the FPGA image</source>
        <translation>FPGA-Image wird gelöscht</translation>
    </message>
    <message>
        <source>Writing the M-CORE image</source>
        <translation>M-CORE-Image wird geschrieben</translation>
    </message>
    <message>
        <source>Writing the FPGA image</source>
        <translation>FPGA-Image wird geschrieben</translation>
    </message>
    <message>
        <source>%1  %2 %</source>
        <translation>%1  %2 %</translation>
    </message>
    <message>
        <source>%1  %2 %  about %3 s left</source>
        <translation>%1  %2 %  noch etwa %3 s</translation>
    </message>
    <message>
        <source>%1: %2 %</source>
        <translation>%1: %2 %</translation>
    </message>
    <message>
        <source>This is a downgrade: the Orlo has firmware %1, this program brings %2. Type yes to go on: </source>
        <translation>Dies ist ein Downgrade: Der Orlo hat die Firmware %1, dieses Programm bringt %2. Zum Fortfahren ja eingeben: </translation>
    </message>
    <message>
        <source>yes</source>
        <translation>ja</translation>
    </message>
    <message>
        <source>%1 (a downgrade, refused while an editing application runs)</source>
        <translation>%1 (ein Downgrade, abgelehnt, solange ein Schnittprogramm läuft)</translation>
    </message>
    <message>
        <source>%1 (an upgrade, refused while an editing application runs)</source>
        <translation>%1 (ein Upgrade, abgelehnt, solange ein Schnittprogramm läuft)</translation>
    </message>
    <message>
        <source>%1 (a downgrade)</source>
        <translation>%1 (ein Downgrade)</translation>
    </message>
    <message>
        <source>%1 (an upgrade)</source>
        <translation>%1 (ein Upgrade)</translation>
    </message>
    <message>
        <source>Orlo:</source>
        <translation>Orlo:</translation>
    </message>
    <message>
        <source>Firmware version:</source>
        <translation>Firmware-Version:</translation>
    </message>
    <message>
        <source>Serial number:</source>
        <translation>Seriennummer:</translation>
    </message>
    <message>
        <source>This program:</source>
        <translation>Dieses Programm:</translation>
    </message>
    <message>
        <source>An editing application is running: quit it before updating the Orlo, or give --force.</source>
        <translation>Ein Schnittprogramm läuft: Beenden Sie es vor dem Update des Orlo, oder geben Sie --force an.</translation>
    </message>
    <message>
        <source>%1 is running: quit it before updating the Orlo, or give --force.</source>
        <translation>%1 läuft: Beenden Sie es vor dem Update des Orlo, oder geben Sie --force an.</translation>
    </message>
    <message>
        <source>This is a downgrade (the Orlo has %1, this program brings %2): give --allow-downgrade to go on.</source>
        <translation>Dies ist ein Downgrade (der Orlo hat %1, dieses Programm bringt %2): Geben Sie --allow-downgrade an, um fortzufahren.</translation>
    </message>
    <message>
        <source>Nothing prevents a suspend or shutdown during the update: %1</source>
        <translation>Nichts verhindert Ruhezustand oder Herunterfahren während des Updates: %1</translation>
    </message>
    <message>
        <source>Quitting once the update has ended.</source>
        <translation>Das Programm endet, sobald das Update abgeschlossen ist.</translation>
    </message>
    <message>
        <source>One JSON document on standard output; progress as JSON lines on standard error.</source>
        <translation>Ein JSON-Dokument auf der Standardausgabe; der Fortschritt als JSON-Zeilen auf der Standardfehlerausgabe.</translation>
    </message>
    <message>
        <source>Use a simulated Orlo: no hardware needed.</source>
        <translation>Einen simulierten Orlo verwenden: keine Hardware nötig.</translation>
    </message>
    <message>
        <source>Also print the diagnostic lines of each step on standard error.</source>
        <translation>Auch die Diagnosezeilen jedes Schritts auf der Standardfehlerausgabe ausgeben.</translation>
    </message>
    <message>
        <source>Update although it is a downgrade.</source>
        <translation>Aktualisieren, obwohl es ein Downgrade ist.</translation>
    </message>
    <message>
        <source>Update although an editing application runs.</source>
        <translation>Aktualisieren, obwohl ein Schnittprogramm läuft.</translation>
    </message>
    <message>
        <source>Write every call to the FireWire stack to FILE (JSON Lines), for a bug report.</source>
        <translation>Jeden Aufruf des FireWire-Stacks in DATEI schreiben (JSON Lines), für einen Fehlerbericht.</translation>
    </message>
    <message>
        <source>list, info or update</source>
        <translation>list, info oder update</translation>
    </message>
    <message>
        <source>Give one command.</source>
        <translation>Geben Sie einen Befehl an.</translation>
    </message>
    <message>
        <source>Unknown command: %1</source>
        <translation>Unbekannter Befehl: %1</translation>
    </message>
    <message>
        <source>Cannot write the recording %1</source>
        <translation>Die Aufzeichnung %1 kann nicht geschrieben werden</translation>
    </message>
    <message>
        <source>%1  GUID %2  firmware %3  serial %4</source>
        <translation>%1  GUID %2  Firmware %3  Seriennummer %4</translation>
    </message>
    <message>
        <source>%1  not identified</source>
        <translation>%1  nicht erkannt</translation>
    </message>
    <message>
        <source>%1  not identified: %2</source>
        <translation>%1  nicht erkannt: %2</translation>
    </message>
    <message>
        <source>%1 (current: the Orlo has it already)</source>
        <translation>%1 (aktuell: der Orlo hat sie bereits)</translation>
    </message>
    <message>
        <source>GUID:</source>
        <translation>GUID:</translation>
    </message>
    <message numerus="yes">
        <source>%n Orlos are connected: this is the first. Give --device to pick another; list shows them all.</source>
        <translation>
            <numerusform>%n Orlo ist angeschlossen.</numerusform>
            <numerusform>%n Orlos sind angeschlossen: Das ist der erste. Mit --device wählen Sie einen anderen; list zeigt alle.</numerusform>
        </translation>
    </message>
    <message>
        <source>The Orlo has firmware %1 already: nothing was sent. Give --reinstall to write it again.</source>
        <translation>Der Orlo hat die Firmware %1 bereits: Es wurde nichts gesendet. Mit --reinstall wird sie erneut geschrieben.</translation>
    </message>
    <message>
        <source>Orlo %1 (GUID %2, serial number %3, firmware %4):</source>
        <translation>Orlo %1 (GUID %2, Seriennummer %3, Firmware %4):</translation>
    </message>
    <message>
        <source>%1: not identified</source>
        <translation>%1: nicht erkannt</translation>
    </message>
    <message>
        <source>%1: not identified: %2</source>
        <translation>%1: nicht erkannt: %2</translation>
    </message>
    <message numerus="yes">
        <source>%n Orlos are connected: give --device with the node, GUID or serial number of the one to update, or --all to update each.</source>
        <translation>
            <numerusform>%n Orlo ist angeschlossen.</numerusform>
            <numerusform>%n Orlos sind angeschlossen: Geben Sie mit --device Gerätedatei, GUID oder Seriennummer des zu aktualisierenden an, oder --all, um jeden zu aktualisieren.</numerusform>
        </translation>
    </message>
    <message>
        <source>Updates the firmware of the Orlo, a FireWire video I/O device.

Commands:
  list    every Orlo found: its device file, GUID, firmware and serial number
  info    the Orlo&apos;s firmware and serial number, and what an update would be
  update  programs the FPGA image and the M-CORE image of this program</source>
        <translation>Aktualisiert die Firmware des Orlo, eines FireWire-Video-Ein-/Ausgabegeräts.

Befehle:
  list    jeder gefundene Orlo: Gerätedatei, GUID, Firmware und Seriennummer
  info    Firmware und Seriennummer des Orlo, und was ein Update wäre
  update  programmiert das FPGA-Image und das M-CORE-Image dieses Programms</translation>
    </message>
    <message>
        <source>The Orlo to use when several are connected: its device file, GUID or serial number, as list shows them.</source>
        <translation>Der zu verwendende Orlo, wenn mehrere angeschlossen sind: seine Gerätedatei, GUID oder Seriennummer, wie list sie zeigt.</translation>
    </message>
    <message>
        <source>Update every Orlo connected, one after the other.</source>
        <translation>Jeden angeschlossenen Orlo aktualisieren, einen nach dem anderen.</translation>
    </message>
    <message>
        <source>Update an Orlo that has this program&apos;s firmware already.</source>
        <translation>Auch einen Orlo aktualisieren, der die Firmware dieses Programms bereits hat.</translation>
    </message>
    <message>
        <source>--all and --reinstall are for update.</source>
        <translation>--all und --reinstall gelten für update.</translation>
    </message>
    <message>
        <source>--device is for info and update, and not with --all.</source>
        <translation>--device gilt für info und update, und nicht zusammen mit --all.</translation>
    </message>
    <message>
        <source>Cannot write the recording %1: %2</source>
        <translation>Die Aufzeichnung %1 kann nicht geschrieben werden: %2</translation>
    </message>
    <message>
        <source>The recording %1 is incomplete: %2</source>
        <translation>Die Aufzeichnung %1 ist unvollständig: %2</translation>
    </message>
    <message>
        <source>The update cannot be paused: it goes on.</source>
        <translation>Das Update kann nicht angehalten werden: Es läuft weiter.</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Current firmware version:</source>
        <translation>Aktuelle Firmware-Version:</translation>
    </message>
    <message>
        <source>Searching...</source>
        <translation>Suche läuft …</translation>
    </message>
    <message>
        <source>Serial number:</source>
        <translation>Seriennummer:</translation>
    </message>
    <message>
        <source>Looking for an Orlo on the FireWire bus.</source>
        <translation>Am FireWire-Bus wird nach einem Orlo gesucht.</translation>
    </message>
    <message>
        <source>Quit your video editing application before updating.</source>
        <translation>Beenden Sie Ihr Videoschnittprogramm vor dem Update.</translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation>&amp;Beenden</translation>
    </message>
    <message>
        <source>&amp;Upgrade</source>
        <translation>&amp;Aktualisieren</translation>
    </message>
    <message>
        <source>&amp;About ORLOFirmwareUpdate</source>
        <translation>&amp;Über ORLOFirmwareUpdate</translation>
    </message>
</context>
<context>
    <name>UserTexts</name>
    <message>
        <source>Programming Complete. Cycle the power of the Orlo for the new firmware to take effect.</source>
        <translation>Programmierung abgeschlossen. Schalten Sie den Orlo aus und wieder ein, damit die neue Firmware wirksam wird.</translation>
    </message>
    <message>
        <source>Programming Failed: the Orlo changed since it was identified (it was unplugged, or another took its place). Nothing was sent to it.</source>
        <translation>Programmierung fehlgeschlagen: Der Orlo hat sich geändert, seit er erkannt wurde (er wurde getrennt, oder ein anderer hat seinen Platz eingenommen). Es wurde nichts an ihn gesendet.</translation>
    </message>
    <message>
        <source>Programming Failed: the Orlo is in use by another program. It was not updated.</source>
        <translation>Programmierung fehlgeschlagen: Der Orlo wird von einem anderen Programm verwendet. Er wurde nicht aktualisiert.</translation>
    </message>
    <message>
        <source>Programming Failed: the FPGA image failed (status %1). Keep the Orlo connected and powered, and update it again.</source>
        <translation>Programmierung fehlgeschlagen: Das FPGA-Image ist fehlgeschlagen (Status %1). Lassen Sie den Orlo angeschlossen und eingeschaltet, und aktualisieren Sie ihn erneut.</translation>
    </message>
    <message>
        <source>Programming Failed: the M-CORE image failed (status %1). Keep the Orlo connected and powered, and update it again.</source>
        <translation>Programmierung fehlgeschlagen: Das M-CORE-Image ist fehlgeschlagen (Status %1). Lassen Sie den Orlo angeschlossen und eingeschaltet, und aktualisieren Sie ihn erneut.</translation>
    </message>
    <message>
        <source>Programming Failed: the update could not be started (status %1).</source>
        <translation>Programmierung fehlgeschlagen: Das Update konnte nicht gestartet werden (Status %1).</translation>
    </message>
    <message>
        <source>This computer has no FireWire controller.</source>
        <translation>Dieser Computer hat keinen FireWire-Controller.</translation>
    </message>
    <message>
        <source>The device registry cannot be read (status %1).</source>
        <translation>Die Geräteverwaltung kann nicht gelesen werden (Status %1).</translation>
    </message>
    <message>
        <source>No Orlo %1 is connected: orlo-firmware-update list shows those that are.</source>
        <translation>Es ist kein Orlo %1 angeschlossen: orlo-firmware-update list zeigt die angeschlossenen.</translation>
    </message>
    <message>
        <source>No Orlo is on the FireWire bus: check that it is connected and powered.</source>
        <translation>Am FireWire-Bus ist kein Orlo: Prüfen Sie, ob er angeschlossen und eingeschaltet ist.</translation>
    </message>
    <message>
        <source>The Orlo&apos;s device file %1 may not be opened: the udev rule %2, which gives access to it, is not in effect. Install the package orlo-firmware-update, or, with the rule installed there, run: %3</source>
        <translation>Die Gerätedatei %1 des Orlo darf nicht geöffnet werden: Die udev-Regel %2, die den Zugriff erlaubt, ist nicht wirksam. Installieren Sie das Paket orlo-firmware-update, oder führen Sie, wenn die Regel dort installiert ist, aus: %3</translation>
    </message>
    <message>
        <source>The Orlo is in use by another program.</source>
        <translation>Der Orlo wird von einem anderen Programm verwendet.</translation>
    </message>
    <message>
        <source>The Orlo is in use by another program (%1).</source>
        <translation>Der Orlo wird von einem anderen Programm verwendet (%1).</translation>
    </message>
    <message>
        <source>The Orlo does not answer (status %1): turn it off and on, and check its cable.</source>
        <translation>Der Orlo antwortet nicht (Status %1): Schalten Sie ihn aus und wieder ein, und prüfen Sie das Kabel.</translation>
    </message>
    <message>
        <source>The device on the bus is not an Orlo (product version %1).</source>
        <translation>Das Gerät am Bus ist kein Orlo (Produktversion %1).</translation>
    </message>
</context>
<context>
    <name>main</name>
    <message>
        <source>The Orlo to show and update when several are connected: its device file, GUID or serial number, as orlo-firmware-update list shows them.</source>
        <translation>Der anzuzeigende und zu aktualisierende Orlo, wenn mehrere angeschlossen sind: seine Gerätedatei, GUID oder Seriennummer, wie orlo-firmware-update list sie zeigt.</translation>
    </message>
    <message>
        <source>Updates the firmware of the Orlo, a FireWire video I/O device. Without a display, use orlo-firmware-update.</source>
        <translation>Aktualisiert die Firmware des Orlo, eines FireWire-Video-Ein-/Ausgabegeräts. Ohne Bildschirm verwenden Sie orlo-firmware-update.</translation>
    </message>
    <message>
        <source>No arguments are taken.</source>
        <translation>Es werden keine Argumente angenommen.</translation>
    </message>
    <message>
        <source>Write the diagnostic lines of every search for the Orlo, not only when what it finds changes.</source>
        <translation>Die Diagnosezeilen jeder Suche nach dem Orlo ausgeben, nicht nur, wenn sich ändert, was sie findet.</translation>
    </message>
</context>
</TS>
