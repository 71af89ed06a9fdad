// Type declarations of the addon's functions. Every function is synchronous and answers a
// string; failures inside the reader are answered as text, only argument errors throw.

/**
 * Answers the configuration of a recording as compact JSON: "unknownFrames" (base64), "gyro",
 * "accel", "baro", "gps" when configured, the device members when the recording has device
 * information, then "createdAt", "endDate", "frequency" and "measureId".
 * @param recordingPath path of the recording (UTF-8, no NUL character)
 * @returns the JSON text, or '' when the file cannot be read or holds no header frames
 * @throws {TypeError} "Wrong number of arguments" without an argument;
 *   "Wrong arguments" when recordingPath is not a string primitive or holds a NUL character
 */
export function readConfig(recordingPath: string): string;

/**
 * Answers the device identifier of a recording as `{"deviceId":N}` (-1 without a device frame).
 * @returns the JSON text, or '' when the file cannot be read or holds no header frames
 * @throws {TypeError} as readConfig
 */
export function readConfigDeviceId(recordingPath: string): string;

/**
 * Writes a configuration file made of header frames described by `configText`
 * (sections "key,value,...", separated by ":"; keys accel, gyro, baro, device, firmware, radio,
 * unknownFrames). The file is replaced only when the text is valid and the write succeeded.
 * @returns "OK" when written, "ERROR" otherwise (any existing file then keeps its content)
 * @throws {TypeError} "Wrong number of arguments" with fewer than two arguments;
 *   "Wrong arguments" when an argument is not a string primitive or the path holds a NUL character
 */
export function writeConfig(path: string, configText: string): "OK" | "ERROR";
