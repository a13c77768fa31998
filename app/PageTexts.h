// Every text the updater page shows, in one place so that they can be checked against what the
// device's users know: the status texts, the device's error table and the message box. Progress
// and completion texts are Russian, device and link messages Chinese; each keeps its own line
// breaks and trailing blanks. Formats take the percentage or the value named beside them.
#pragma once

#include <cstdint>

// The start step, the burn jobs and the update run.
inline constexpr char TEXT_CLEAR_CACHE[] = "Очистить кэш данных...\r\n";
inline constexpr char TEXT_OPEN_PORT[] = "请打开串口!\r\n";
inline constexpr char TEXT_CHOOSE_FILE[] = "请选择文件!\r\n";
inline constexpr char TEXT_PARSING[] = "Разбор ...\r\n";
inline constexpr char TEXT_STOPPING[] = "停止当前操作\r\n";
inline constexpr char TEXT_FILE_ERROR[] = "Ошибка чтения файла.\r\n";
inline constexpr char TEXT_TIMEOUT[] = "Тайм-аут, пожалуйста,\r\nзаново откройте программу.\r\n";
// Our own link message for a port write that failed.
inline constexpr char TEXT_WRITE_FAILED[] = "串口写入失败，请检查连接!\r\n";
// Our own link message for a line that hung up during a run (cable pulled, adapter unplugged).
inline constexpr char TEXT_LINE_LOST[] = "串口连接已断开，请检查连接!\r\n";

// Progress (percentage) and completion of each payload.
inline constexpr char TEXT_FW_PROGRESS[] = "Обновление ПО...: %d %% ";
inline constexpr char TEXT_FW_DONE[] = "Обновление ПО прошло успешно.";
inline constexpr char TEXT_EDOG_PROGRESS[] = "Обновление базу камер… : %d %% ";
inline constexpr char TEXT_EDOG_DONE[] = "Обновление базы камер прошло успешно.";
inline constexpr char TEXT_MUSIC_PROGRESS[] = "Обновление звуковых файлов.: %d %% ";
inline constexpr char TEXT_MUSIC_DONE[] = "Обновление звуковых файлов прошло успешно.";
inline constexpr char TEXT_RADAR_PROGRESS[] = "Обновление ПО радар…: %d %% ";
inline constexpr char TEXT_RADAR_DONE[] = "Обновление ПО радар\r\n прошло успешно.\r\n";
// The end of a whole run; the radar firmware, when it was the last payload, has its own word.
inline constexpr char TEXT_RUN_DONE[] = "Готово";
inline constexpr char TEXT_RUN_DONE_RADAR[] = "升级完成";

// The box shown when the device reports the firmware version word 0x0104.
inline constexpr char TEXT_OLD_PROGRAM_BOX[] = "This is not Q9-Dornvex program";
inline constexpr char TEXT_OLD_PROGRAM_CAPTION[] = "ERROR";

// The device's error codes (the first data byte of an error status).
inline const char* DeviceErrorText(uint8_t code) {
    switch (code) {
        case 3:
            return "命令无效，请重试!\n";
        case 4:
            return "Flash硬件忙!\n";
        case 5:
            return "Flash读保护!\n";
        case 6:
            return "Flash写保护!\n";
        case 7:
            return "参数不足或错误!\n";
        case 8:
            return "目标地址边界错误!\n";
        case 9:
            return "源地址边界错误!\n";
        default:
            return "MCU参数错误! \n";
    }
}

// Verify results during a firmware burn.
inline constexpr char TEXT_VERIFY_FAILED[] = "校验失败\r\n";
inline constexpr char TEXT_VERIFY_PROGRESS[] = "已校验:%d %% ";
inline constexpr char TEXT_BURN_DONE[] = "烧写完成,请重新上电\r\n";
inline constexpr char TEXT_LINE_BREAK[] = "\r\n";

// The service operations: baud handshake, erase, chip information, flash read-out.
inline constexpr char TEXT_BAUD_OK[] = "初始波特率通信成功，开始传输数据!\r\n";
inline constexpr char TEXT_BAUD_INITIAL_FAILED[] = "初始波特率通信失败!\r\n";
inline constexpr char TEXT_BAUD_CHANGE_FAILED[] = "修改波特率失败!\r\n";
inline constexpr char TEXT_ERASE_DONE[] = "擦除完成,请重新上电\r\n";
inline constexpr char TEXT_CHIP_VERSION[] = "芯片版本号：%x\r\n";  // the first data byte
inline constexpr char TEXT_CHIP_ID[] = "芯片ID:\r\n";              // then the 16 bytes, "%x" each
inline constexpr char TEXT_CHIP_ID_BYTE[] = "%x";
inline constexpr char TEXT_FLASH_SIZE[] = "芯片Flash大小:%d KB\r\n";  // in KB
inline constexpr char TEXT_READ_PROGRESS[] = "已读出:%d %% ";
inline constexpr char TEXT_READ_DONE[] = "\r\n当前数据读取完成\r\n";
inline constexpr char TEXT_READ_ERROR[] = "当前数据读取错误\r\n";

// Our own: the update button's tooltip while no device has answered, followed by one line per
// port tried ("COM1 /dev/ttyUSB0: did not answer", or why it could not be opened).
inline constexpr char TEXT_SEARCH_TIP[] =
    "Waiting for the device; the ports are searched again every 2 s.\nPorts tried:\n";

// Our own: a payload file that fails its check before the run. Russian like the run's own texts;
// the lines after it name each file and its reason ("DE7811_project.hex, line 65: bad checksum").
inline constexpr char TEXT_PAYLOAD_REFUSED[] = "Файл отклонён, ничего не записано:\r\n";
// Our own: the device answered but no payload file lies in the folder (the folder and the file
// names follow).
inline constexpr char TEXT_NO_PAYLOADS[] = "Нет файлов обновления в папке:\r\n";

// Our own, the line under the status pane, Chinese as the device and link messages: the device is
// being looked for, on these ports ("COM1 /dev/ttyUSB0", or Windows' own "COM12"), each with what
// was found wrong with it; or no serial port at all.
inline constexpr char TEXT_SEARCHING[] = "正在查找设备，端口: ";
inline constexpr char TEXT_PORT_SEPARATOR[] = "，";
inline constexpr char TEXT_SEARCH_NO_PORT[] = "正在查找设备: 未找到串口";
inline constexpr char TEXT_PORT_SILENT[] = "无应答";
inline constexpr char TEXT_PORT_ABSENT[] = "端口不存在";
inline constexpr char TEXT_PORT_BUSY[] = "端口被其他程序占用";
inline constexpr char TEXT_PORT_DENIED[] = "无权访问（请将用户加入 dialout 组）";
inline constexpr char TEXT_PORT_CANNOT_OPEN[] = "无法打开";       // the system's reason follows
inline constexpr char TEXT_PORT_SETTINGS[] = "串口参数设置失败";  // the system's reason follows
// Our own, the line under the pane: the log file cannot be written; its path and the system's
// reason follow.
inline constexpr char TEXT_LOG_PROBLEM[] = "日志文件无法写入: ";

// Our own, Russian as the update's progress texts: the question before a close stops a payload
// being written.
inline constexpr char TEXT_CLOSE_QUESTION[] =
    "Идёт обновление устройства. Прервать его?\n"
    "После прерывания устройство нужно будет обновить заново.";
inline constexpr char TEXT_CLOSE_CAPTION[] = "Zorvik Tool v0.2";
