// A third-party client for the tests: MQTT.js publishes one message.
// Usage: node publish.mjs URL TOPIC PAYLOAD QOS VERSION [retain]
// (VERSION 4 is MQTT 3.1.1, 5 is MQTT 5). Exit 0 once the broker took it.
import mqtt from 'mqtt'

const [url, topic, payload, qos, version, retain] = process.argv.slice(2)
const client = mqtt.connect(url, { protocolVersion: Number(version), reconnectPeriod: 0, connectTimeout: 5000 })
client.on('error', (e) => { console.error(`publish.mjs: ${e.message}`); process.exit(1) })
client.on('connect', () => {
  client.publish(topic, payload, { qos: Number(qos), retain: retain === 'retain' }, (e) => {
    if (e) { console.error(`publish.mjs: ${e.message}`); process.exit(1) }
    client.end(false, () => process.exit(0))
  })
})
