# The udev rule that gives the user at the seat access to the USB key (TAG+="uaccess", numbered
# below 73 so that logind applies it), one line per VID:PID. With no IDs it is the rule's template,
# which matches no device until an administrator fills in the key's IDs.
#
# sealstation_key_udev_rule(IDS OUTPUT MODALIAS_VAR) writes the rule or the template to OUTPUT and sets
# MODALIAS_VAR to the AppStream <modalias> lines of the IDs (empty for the template). IDs are "VID:PID"
# with four hexadecimal digits each, separated by ";" or ",".

set(SEALSTATION_KEY_UDEV_RULE_NAME 70-sealstation-key.rules)

function(sealstation_key_udev_rule ids output modalias_var)
    string(REPLACE "," ";" ids "${ids}")
    set(header
        "# SealStation: gives the user at the seat (logged in at this screen) access to the USB key,\n"
        "# with no group to join. TAG+=\"uaccess\" takes effect because the rule runs before 73-seat-late.rules.\n")
    set(rules "")
    set(modalias "")
    foreach(id IN LISTS ids)
        string(STRIP "${id}" id)
        if(id STREQUAL "")
            continue()
        endif()
        if(NOT id MATCHES "^([0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]):([0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f])$")
            message(FATAL_ERROR "SEALSTATION_KEY_USB_IDS: '${id}' is not VID:PID "
                "(four hexadecimal digits each, as lsusb shows them, e.g. 1d6b:0104)")
        endif()
        # sysfs gives idVendor and idProduct in lower case, and udev compares them as text; modaliases
        # carry them in upper case.
        string(TOLOWER "${CMAKE_MATCH_1}" vendor)
        string(TOLOWER "${CMAKE_MATCH_2}" product)
        string(TOUPPER "${CMAKE_MATCH_1}" vendor_upper)
        string(TOUPPER "${CMAKE_MATCH_2}" product_upper)
        string(APPEND rules "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", "
            "ATTR{idVendor}==\"${vendor}\", ATTR{idProduct}==\"${product}\", TAG+=\"uaccess\"\n")
        string(APPEND modalias "\n    <modalias>usb:v${vendor_upper}p${product_upper}d*</modalias>")
    endforeach()
    if(rules STREQUAL "")
        string(APPEND header
            "#\n"
            "# This is the template: it matches no device until VVVV and PPPP are the key's vendor and\n"
            "# product ID, four hexadecimal digits each in lower case, as lsusb shows them after \"ID\".\n"
            "# Copy it to /etc/udev/rules.d/ and fill them in (one line for each kind of key):\n"
            "#   sudo cp /usr/share/sealstation/${SEALSTATION_KEY_UDEV_RULE_NAME} /etc/udev/rules.d/\n"
            "#   sudo editor /etc/udev/rules.d/${SEALSTATION_KEY_UDEV_RULE_NAME}\n"
            "#   sudo udevadm control --reload\n"
            "# then unplug the key and plug it in again.\n")
        set(rules "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", "
            "ATTR{idVendor}==\"VVVV\", ATTR{idProduct}==\"PPPP\", TAG+=\"uaccess\"\n")
    endif()
    string(CONCAT text ${header} ${rules})
    file(WRITE "${output}" "${text}")
    set(${modalias_var} "${modalias}" PARENT_SCOPE)
endfunction()

