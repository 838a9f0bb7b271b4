// Native methods of ai.pemrix.sentencepiece.jni.SentencePieceLibrary over a
// statically linked SentencePiece.
//
// The library is stateless glue: every class and method id is looked up by
// name during the call that needs it, nothing is cached, and a processor
// crosses into Java as the address of a SentencePieceProcessor that the Java
// side owns. Every failure raises exactly one ai.pemrix.engine.EngineException
// and the native method returns at once.

#include <jni.h>

#include <sentencepiece_processor.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pemrix::utils::jni {

namespace {

constexpr const char* kEngineException = "ai/pemrix/engine/EngineException";
constexpr const char* kStringClass = "java/lang/String";
constexpr const char* kCharset = "UTF-8";

// True when a Java exception is pending; every JNI call that can throw is
// followed by this check so no further JNI call runs with one pending.
bool Raised(JNIEnv* env) { return env->ExceptionCheck() == JNI_TRUE; }

}  // namespace

// Raises EngineException with the given message. When the class itself cannot
// be found, FindClass has already raised NoClassDefFoundError, which stays as
// the one pending exception.
void ThrowEngineException(JNIEnv* env, const std::string& message) {
  jclass cls = env->FindClass(kEngineException);
  if (cls == nullptr) return;
  env->ThrowNew(cls, message.c_str());
  env->DeleteLocalRef(cls);
}

// The string's own getBytes("UTF-8"): standard UTF-8 with every character it
// holds, supplementary characters as four bytes and U+0000 as a zero byte.
// A null jstring is the empty text. nullopt means a Java exception is pending.
std::optional<std::string> GetStringFromJString(JNIEnv* env, jstring text) {
  if (text == nullptr) return std::string();
  jclass cls = env->GetObjectClass(text);
  jmethodID getBytes = env->GetMethodID(cls, "getBytes", "(Ljava/lang/String;)[B");
  env->DeleteLocalRef(cls);
  if (getBytes == nullptr) return std::nullopt;
  jstring charset = env->NewStringUTF(kCharset);
  if (charset == nullptr) return std::nullopt;
  auto bytes = static_cast<jbyteArray>(env->CallObjectMethod(text, getBytes, charset));
  env->DeleteLocalRef(charset);
  if (Raised(env) || bytes == nullptr) return std::nullopt;
  const jsize length = env->GetArrayLength(bytes);
  jbyte* elements = env->GetByteArrayElements(bytes, nullptr);
  if (elements == nullptr) {
    env->DeleteLocalRef(bytes);
    return std::nullopt;
  }
  std::string result(reinterpret_cast<const char*>(elements), static_cast<size_t>(length));
  env->ReleaseByteArrayElements(bytes, elements, JNI_ABORT);
  env->DeleteLocalRef(bytes);
  return result;
}

// A null element is an empty piece.
std::optional<std::vector<std::string>> GetVecFromJStringArray(JNIEnv* env, jobjectArray array) {
  const jsize length = env->GetArrayLength(array);
  std::vector<std::string> result;
  result.reserve(static_cast<size_t>(length));
  for (jsize i = 0; i < length; ++i) {
    auto element = static_cast<jstring>(env->GetObjectArrayElement(array, i));
    if (Raised(env)) return std::nullopt;
    std::optional<std::string> piece = GetStringFromJString(env, element);
    if (element != nullptr) env->DeleteLocalRef(element);
    if (!piece) return std::nullopt;
    result.push_back(std::move(*piece));
  }
  return result;
}

std::optional<std::vector<int>> GetVecFromJIntArray(JNIEnv* env, jintArray array) {
  jint* elements = env->GetIntArrayElements(array, nullptr);
  if (elements == nullptr) return std::nullopt;
  const jsize length = env->GetArrayLength(array);
  std::vector<int> result(elements, elements + length);
  env->ReleaseIntArrayElements(array, elements, JNI_ABORT);
  return result;
}

// new String(bytes, charset): decodes standard UTF-8, so characters outside
// the Basic Multilingual Plane arrive intact (modified UTF-8 cannot hold
// their four-byte form).
jstring NewStringFromBytes(JNIEnv* env, jclass stringClass, jmethodID constructor,
                           jstring charset, std::string_view bytes) {
  const auto length = static_cast<jsize>(bytes.size());
  jbyteArray array = env->NewByteArray(length);
  if (array == nullptr) return nullptr;
  env->SetByteArrayRegion(array, 0, length, reinterpret_cast<const jbyte*>(bytes.data()));
  if (Raised(env)) {
    env->DeleteLocalRef(array);
    return nullptr;
  }
  auto result = static_cast<jstring>(env->NewObject(stringClass, constructor, array, charset));
  env->DeleteLocalRef(array);
  if (Raised(env)) return nullptr;
  return result;
}

jobjectArray GetStringArrayFromVec(JNIEnv* env, const std::vector<std::string>& pieces) {
  jclass elementClass = env->FindClass(kStringClass);
  if (elementClass == nullptr) return nullptr;
  jobjectArray result = env->NewObjectArray(static_cast<jsize>(pieces.size()), elementClass, nullptr);
  env->DeleteLocalRef(elementClass);
  if (result == nullptr) return nullptr;

  jclass stringClass = env->FindClass(kStringClass);
  if (stringClass == nullptr) return nullptr;
  jmethodID constructor = env->GetMethodID(stringClass, "<init>", "([BLjava/lang/String;)V");
  jstring charset = constructor != nullptr ? env->NewStringUTF(kCharset) : nullptr;
  bool complete = charset != nullptr;
  for (size_t i = 0; complete && i < pieces.size(); ++i) {
    jstring piece = NewStringFromBytes(env, stringClass, constructor, charset, pieces[i]);
    if (piece == nullptr) {
      complete = false;
      break;
    }
    env->SetObjectArrayElement(result, static_cast<jsize>(i), piece);
    env->DeleteLocalRef(piece);
    complete = !Raised(env);
  }
  if (charset != nullptr) env->DeleteLocalRef(charset);
  env->DeleteLocalRef(stringClass);
  if (!complete) {
    env->DeleteLocalRef(result);
    return nullptr;
  }
  return result;
}

jintArray GetIntArrayFromVec(JNIEnv* env, const std::vector<int>& ids) {
  const auto length = static_cast<jsize>(ids.size());
  jintArray result = env->NewIntArray(length);
  if (result == nullptr) return nullptr;
  env->SetIntArrayRegion(result, 0, length, reinterpret_cast<const jint*>(ids.data()));
  if (Raised(env)) {
    env->DeleteLocalRef(result);
    return nullptr;
  }
  return result;
}

// Standard UTF-8 bytes as a Java string of the same characters.
jstring NewJStringFromUtf8(JNIEnv* env, std::string_view bytes) {
  jclass stringClass = env->FindClass(kStringClass);
  if (stringClass == nullptr) return nullptr;
  jmethodID constructor = env->GetMethodID(stringClass, "<init>", "([BLjava/lang/String;)V");
  jstring charset = constructor != nullptr ? env->NewStringUTF(kCharset) : nullptr;
  jstring result = nullptr;
  if (charset != nullptr) {
    result = NewStringFromBytes(env, stringClass, constructor, charset, bytes);
    env->DeleteLocalRef(charset);
  }
  env->DeleteLocalRef(stringClass);
  return result;
}

// Text that SentencePiece produced, as a Java string of the same characters.
// Like a C string it ends at its first zero byte.
jstring GetJStringFromString(JNIEnv* env, const std::string& text) {
  return NewJStringFromUtf8(env, std::string_view(text.c_str()));
}

// Raises an exception of the given class with SentencePiece's UTF-8 text as its
// message. ThrowNew would read that text as modified UTF-8, which garbles a
// supplementary character (an emoji in a model's file name, say) and can lose
// the rest of the message after it.
void ThrowWithUtf8Message(JNIEnv* env, jclass cls, const std::string& text) {
  jmethodID constructor = env->GetMethodID(cls, "<init>", "(Ljava/lang/String;)V");
  if (constructor == nullptr) return;
  jstring message = NewJStringFromUtf8(env, text);
  if (message == nullptr) return;
  auto exception = static_cast<jthrowable>(env->NewObject(cls, constructor, message));
  env->DeleteLocalRef(message);
  if (Raised(env) || exception == nullptr) return;
  env->Throw(exception);
  env->DeleteLocalRef(exception);
}

}  // namespace pemrix::utils::jni

namespace {

namespace jni = pemrix::utils::jni;
using sentencepiece::SentencePieceProcessor;

// Raises EngineException with the status's text unless it is OK. Returns
// whether the caller may go on. The class is looked up on every call so a
// missing exception class surfaces at once, also on success.
bool CheckStatus(JNIEnv* env, const sentencepiece::util::Status& status) {
  jclass cls = env->FindClass(jni::kEngineException);
  if (cls == nullptr) return false;
  if (status.ok()) {
    env->DeleteLocalRef(cls);
    return true;
  }
  jni::ThrowWithUtf8Message(env, cls, status.ToString());
  env->DeleteLocalRef(cls);
  return false;
}

// A zero handle would be dereferenced as a null processor and take the whole
// VM down; it is the one invalid handle the bridge can recognise.
SentencePieceProcessor* ProcessorOrThrow(JNIEnv* env, jlong handle, const char* method) {
  if (handle == 0) {
    jni::ThrowEngineException(env, std::string(method) + ": processor handle is 0 (no processor)");
    return nullptr;
  }
  return reinterpret_cast<SentencePieceProcessor*>(static_cast<intptr_t>(handle));
}

bool RejectNull(JNIEnv* env, const void* array, const char* method, const char* what) {
  if (array != nullptr) return false;
  jni::ThrowEngineException(env, std::string(method) + ": " + what + " is null");
  return true;
}

// SentencePiece indexes its piece table with the id unchecked, so an id outside
// the vocabulary reads foreign memory. Only a loaded model has a vocabulary;
// without one SentencePiece answers on its own.
bool IdOutsideVocabulary(JNIEnv* env, const SentencePieceProcessor& processor, jint id) {
  if (!processor.status().ok()) return false;
  const int size = processor.GetPieceSize();
  if (id >= 0 && id < size) return false;
  jni::ThrowEngineException(env, "idToPiece: id " + std::to_string(id) +
                                     " is outside the model's vocabulary of " +
                                     std::to_string(size) + " pieces");
  return true;
}

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL
Java_ai_pemrix_sentencepiece_jni_SentencePieceLibrary_createSentencePieceProcessor(JNIEnv*, jobject) {
  return static_cast<jlong>(reinterpret_cast<intptr_t>(new SentencePieceProcessor()));
}

JNIEXPORT void JNICALL
Java_ai_pemrix_sentencepiece_jni_SentencePieceLibrary_loadModel(JNIEnv* env, jobject, jlong handle,
                                                                 jstring path) {
  SentencePieceProcessor* processor = ProcessorOrThrow(env, handle, "loadModel");
  if (processor == nullptr) return;
  std::optional<std::string> file = jni::GetStringFromJString(env, path);
  if (!file) return;
  CheckStatus(env, processor->Load(std::string_view(*file)));
}

JNIEXPORT void JNICALL
Java_ai_pemrix_sentencepiece_jni_SentencePieceLibrary_loadModelFromBytes(JNIEnv* env, jobject,
                                                                          jlong handle,
                                                                          jbyteArray bytes) {
  SentencePieceProcessor* processor = ProcessorOrThrow(env, handle, "loadModelFromBytes");
  if (processor == nullptr || RejectNull(env, bytes, "loadModelFromBytes", "model byte array")) return;
  const jsize length = env->GetArrayLength(bytes);
  std::string serialized(static_cast<size_t>(length), '\0');
  env->GetByteArrayRegion(bytes, 0, length, reinterpret_cast<jbyte*>(serialized.data()));
  if (env->ExceptionCheck()) return;
  CheckStatus(env, processor->LoadFromSerializedProto(std::string_view(serialized)));
}

JNIEXPORT void JNICALL
Java_ai_pemrix_sentencepiece_jni_SentencePieceLibrary_deleteSentencePieceProcessor(JNIEnv*, jobject,
                                                                                    jlong handle) {
  if (handle == 0) return;
  delete reinterpret_cast<SentencePieceProcessor*>(static_cast<intptr_t>(handle));
}

JNIEXPORT jobjectArray JNICALL
Java_ai_pemrix_sentencepiece_jni_SentencePieceLibrary_tokenize(JNIEnv* env, jobject, jlong handle,
                                                                jstring text) {
  SentencePieceProcessor* processor = ProcessorOrThrow(env, handle, "tokenize");
  if (processor == nullptr) return nullptr;
  std::optional<std::string> input = jni::GetStringFromJString(env, text);
  if (!input) return nullptr;
  std::vector<std::string> pieces;
  if (!CheckStatus(env, processor->Encode(std::string_view(*input), &pieces))) return nullptr;
  return jni::GetStringArrayFromVec(env, pieces);
}

JNIEXPORT jintArray JNICALL
Java_ai_pemrix_sentencepiece_jni_SentencePieceLibrary_encode(JNIEnv* env, jobject, jlong handle,
                                                              jstring text) {
  SentencePieceProcessor* processor = ProcessorOrThrow(env, handle, "encode");
  if (processor == nullptr) return nullptr;
  std::optional<std::string> input = jni::GetStringFromJString(env, text);
  if (!input) return nullptr;
  std::vector<int> ids;
  if (!CheckStatus(env, processor->Encode(std::string_view(*input), &ids))) return nullptr;
  return jni::GetIntArrayFromVec(env, ids);
}

JNIEXPORT jstring JNICALL
Java_ai_pemrix_sentencepiece_jni_SentencePieceLibrary_detokenize(JNIEnv* env, jobject, jlong handle,
                                                                  jobjectArray pieces) {
  SentencePieceProcessor* processor = ProcessorOrThrow(env, handle, "detokenize");
  if (processor == nullptr || RejectNull(env, pieces, "detokenize", "piece array")) return nullptr;
  std::optional<std::vector<std::string>> input = jni::GetVecFromJStringArray(env, pieces);
  if (!input) return nullptr;
  std::string text;
  if (!CheckStatus(env, processor->Decode(*input, &text))) return nullptr;
  return jni::GetJStringFromString(env, text);
}

JNIEXPORT jstring JNICALL
Java_ai_pemrix_sentencepiece_jni_SentencePieceLibrary_decode(JNIEnv* env, jobject, jlong handle,
                                                              jintArray ids) {
  SentencePieceProcessor* processor = ProcessorOrThrow(env, handle, "decode");
  if (processor == nullptr || RejectNull(env, ids, "decode", "id array")) return nullptr;
  std::optional<std::vector<int>> input = jni::GetVecFromJIntArray(env, ids);
  if (!input) return nullptr;
  std::string text;
  if (!CheckStatus(env, processor->Decode(*input, &text))) return nullptr;
  return jni::GetJStringFromString(env, text);
}

JNIEXPORT jstring JNICALL
Java_ai_pemrix_sentencepiece_jni_SentencePieceLibrary_idToPiece(JNIEnv* env, jobject, jlong handle,
                                                                 jint id) {
  SentencePieceProcessor* processor = ProcessorOrThrow(env, handle, "idToPiece");
  if (processor == nullptr || IdOutsideVocabulary(env, *processor, id)) return nullptr;
  return jni::GetJStringFromString(env, processor->IdToPiece(id));
}

JNIEXPORT jint JNICALL
Java_ai_pemrix_sentencepiece_jni_SentencePieceLibrary_pieceToId(JNIEnv* env, jobject, jlong handle,
                                                                 jstring piece) {
  SentencePieceProcessor* processor = ProcessorOrThrow(env, handle, "pieceToId");
  if (processor == nullptr) return 0;
  std::optional<std::string> input = jni::GetStringFromJString(env, piece);
  if (!input) return 0;
  return processor->PieceToId(std::string_view(*input));
}

}  // extern "C"
